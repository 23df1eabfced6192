// Stands in for the command interpreter that never ends: the one whose "start" of a program that
// Windows refuses to run waits on the shell's error box, which nobody in a service's session can
// close.
//
// Appends one UTF-8 record "pid=<pid>\tcommand=<command line>" to c:\zentorvik-interpreter.log,
// then sleeps until it is ended.
#include "program-support.h"

#include <windows.h>
#include <stdio.h>

static const wchar_t kLogPath[] = L"c:\\zentorvik-interpreter.log";

int wmain(void)
{
    static char line[8192];
    static char command[8192 - 64];
    Utf8Value(GetCommandLineW(), command, sizeof(command));
    const int used =
        snprintf(line, sizeof(line), "pid=%lu\tcommand=%s\n", GetCurrentProcessId(), command);

    AppendToLog(kLogPath, line, used);

    Sleep(INFINITE);
    return 0;
}
