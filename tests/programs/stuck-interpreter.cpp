// Stands in for the command interpreter that never ends: the one whose "start" of a program that
// Windows refuses to run waits on the shell's error box, which nobody in a service's session can
// close. Logs its start to c:\zentorvik-interpreter.log, then sleeps until it is ended.
#include "program-support.h"

int wmain(void)
{
    LogStart(L"c:\\zentorvik-interpreter.log");
    Sleep(INFINITE);
    return 0;
}
