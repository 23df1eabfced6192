// Stands in for the hosted program: records how it was started, then waits to be terminated.
//
// Appends one UTF-8 line "<pid> <image path> <command line>" to c:\zentorvik-standin.log and
// sleeps. It ends on its own, with exit code 5, once c:\zentorvik-standin.quit exists.
#include <windows.h>

static const wchar_t kLogPath[] = L"c:\\zentorvik-standin.log";
static const wchar_t kQuitPath[] = L"c:\\zentorvik-standin.quit";

static void AppendUtf8(char* line, int size, int* used, const wchar_t* text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, line + *used, size - *used, NULL, NULL);
    if (n > 0)
        *used += n - 1;
}

int wmain(void)
{
    static char line[8192];
    wchar_t number[16];
    wchar_t image[MAX_PATH];
    int used = 0;

    wsprintfW(number, L"%lu ", GetCurrentProcessId());
    if (!GetModuleFileNameW(NULL, image, MAX_PATH))
        lstrcpyW(image, L"?");
    AppendUtf8(line, sizeof(line) - 2, &used, number);
    AppendUtf8(line, sizeof(line) - 2, &used, image);
    AppendUtf8(line, sizeof(line) - 2, &used, L" ");
    AppendUtf8(line, sizeof(line) - 2, &used, GetCommandLineW());
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
