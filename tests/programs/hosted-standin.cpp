// Stands in for the hosted program: logs its start to c:\zentorvik-standin.log, then waits to be
// terminated; it ends on its own, with exit code 5, once c:\zentorvik-standin.quit exists.
#include "program-support.h"

int wmain(void)
{
    LogStart(L"c:\\zentorvik-standin.log");
    while (GetFileAttributesW(L"c:\\zentorvik-standin.quit") == INVALID_FILE_ATTRIBUTES)
        Sleep(250);
    return 5;
}
