// Stands in for the hosted program: records how it was started, then waits to be terminated.
//
// Appends one UTF-8 line "<pid> <image path> <command line>" to c:\zentorvik-standin.log and
// sleeps. It ends on its own, with exit code 5, once c:\zentorvik-standin.quit exists.
#include "program-support.h"

#include <windows.h>

static const wchar_t kLogPath[] = L"c:\\zentorvik-standin.log";
static const wchar_t kQuitPath[] = L"c:\\zentorvik-standin.quit";

int wmain(void)
{
    static char line[8192];
    const int size = sizeof(line) - 2; // room for the "\n" at the end
    wchar_t number[16];
    wchar_t image[MAX_PATH];
    int used = 0;

    wsprintfW(number, L"%lu ", GetCurrentProcessId());
    if (!GetModuleFileNameW(NULL, image, MAX_PATH))
        lstrcpyW(image, L"?");
    used += Utf8(number, line + used, size - used);
    used += Utf8(image, line + used, size - used);
    used += Utf8(L" ", line + used, size - used);
    used += Utf8(GetCommandLineW(), line + used, size - used);
    line[used++] = '\n';

    // One write per line in append mode, so several instances can share the log.
    HANDLE log = CreateFileW(kLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(log, line, (DWORD)used, &written, NULL);
        CloseHandle(log);
    }

    while (GetFileAttributesW(kQuitPath) == INVALID_FILE_ATTRIBUTES)
        Sleep(250);
    return 5;
}
