#include "program-support.h"

#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>

static CRITICAL_SECTION g_RecordLock;
static LARGE_INTEGER g_Start, g_Frequency;

void BeginRecords(void)
{
    _setmode(_fileno(stdout), _O_BINARY);
    InitializeCriticalSection(&g_RecordLock);
    QueryPerformanceFrequency(&g_Frequency);
    QueryPerformanceCounter(&g_Start);
}

double Now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - g_Start.QuadPart) * 1000.0 / (double)g_Frequency.QuadPart;
}

void LockRecords(void)
{
    EnterCriticalSection(&g_RecordLock);
}

void UnlockRecords(void)
{
    LeaveCriticalSection(&g_RecordLock);
}

void Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LockRecords();
    printf("%.1f ", Now());
    vprintf(format, args);
    putchar('\n');
    fflush(stdout);
    UnlockRecords();
    va_end(args);
}

int Utf8(const wchar_t* text, char* out, int size)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL);
    if (length == 0) {
        out[0] = 0;
        return 0;
    }
    return length - 1;
}

HANDLE HoldProcess(DWORD pid)
{
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

void ImageOf(HANDLE process, char* out, int size)
{
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, image, &length))
        Utf8(image, out, size);
    else
        lstrcpyA(out, "?");
}

bool ExitsWithin(HANDLE process, DWORD ms, DWORD* code)
{
    return WaitForSingleObject(process, ms) == WAIT_OBJECT_0 && GetExitCodeProcess(process, code);
}

int FindProcesses(const wchar_t* name, DWORD* pids, int max)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    int count = 0;
    if (Process32FirstW(snapshot, &entry)) {
        do {
            if (_wcsicmp(entry.szExeFile, name) == 0) {
                if (count < max)
                    pids[count] = entry.th32ProcessID;
                count++;
            }
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}
