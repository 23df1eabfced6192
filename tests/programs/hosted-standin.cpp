// Stands in for the hosted program: records how it was started, then waits to be terminated.
//
// Appends one UTF-8 record "pid=<pid>\timage=<image path>\tcommand=<command line>" to
// c:\zentorvik-standin.log and sleeps. It ends on its own, with exit code 5, once
// c:\zentorvik-standin.quit exists.
#include "program-support.h"

#include <windows.h>
#include <stdio.h>

static const wchar_t kLogPath[] = L"c:\\zentorvik-standin.log";
static const wchar_t kQuitPath[] = L"c:\\zentorvik-standin.quit";

int wmain(void)
{
    static char line[8192];
    static char command[8192 - 64 - MAX_PATH * 3];
    char image[MAX_PATH * 3];
    wchar_t path[MAX_PATH];

    if (!GetModuleFileNameW(NULL, path, MAX_PATH))
        lstrcpyW(path, L"?");
    Utf8Value(path, image, sizeof(image));
    Utf8Value(GetCommandLineW(), command, sizeof(command));
    const int used = snprintf(line, sizeof(line), "pid=%lu\timage=%s\tcommand=%s\n",
                              GetCurrentProcessId(), image, command);

    AppendToLog(kLogPath, line, used);

    while (GetFileAttributesW(kQuitPath) == INVALID_FILE_ATTRIBUTES)
        Sleep(250);
    return 5;
}
