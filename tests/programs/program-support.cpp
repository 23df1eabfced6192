#include "program-support.h"

#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

void Print(const char* event, const char* fields, ...)
{
    va_list args;
    va_start(args, fields);
    LockRecords();
    printf("t=%.1f\tevent=%s", Now(), event);
    if (*fields) {
        putchar('\t');
        vprintf(fields, args);
    }
    putchar('\n');
    fflush(stdout);
    UnlockRecords();
    va_end(args);
}

static const Command* FindCommand(const Command* commands, int count, const wchar_t* name)
{
    for (int i = 0; i < count; i++)
        if (!lstrcmpW(name, commands[i].name))
            return &commands[i];
    return NULL;
}

int RunCommands(const Command* commands, int count, int first, int argc, wchar_t** argv)
{
    int failures = 0;
    for (int i = first; i < argc; i++) {
        const Command* command = FindCommand(commands, count, argv[i]);
        if (!command || i + command->arguments >= argc)
            return -1;
        int used = command->arguments;
        if (command->option && i + used + 1 < argc && argv[i + used + 1][0] == L'-')
            used++;
        wchar_t* args[5] = {};
        for (int k = 0; k < used; k++)
            args[k] = argv[i + 1 + k];
        const Result result = command->run(args);
        if (result == Result::Usage)
            return -1;
        if (result == Result::Failed)
            failures++;
        i += used;
    }
    return failures;
}

Result Mark(wchar_t** args)
{
    char text[256];
    Utf8Value(args[0], text, sizeof(text));
    Print("mark", "text=%s", text);
    return Result::Ok;
}

Result Hold(wchar_t** args)
{
    const DWORD ms = wcstoul(args[0], NULL, 10);
    Sleep(ms);
    Print("hold", "ms=%lu\tresult=done", ms);
    return Result::Ok;
}

void AppendToLog(const wchar_t* path, const char* record, int length)
{
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(log, record, (DWORD)length, &written, NULL);
    CloseHandle(log);
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

int Utf8Value(const wchar_t* text, char* out, int size)
{
    int used = 0;
    const wchar_t* c = text;
    while (*c) {
        char piece[8];
        int length;
        if (*c < 0x20 || *c == 0x7f) {
            length = snprintf(piece, sizeof(piece), "\\x%02X", (unsigned)*c);
            c++;
        } else {
            const int units = IS_HIGH_SURROGATE(c[0]) && IS_LOW_SURROGATE(c[1]) ? 2 : 1;
            length = WideCharToMultiByte(CP_UTF8, 0, c, units, piece, sizeof(piece), NULL, NULL);
            c += units;
        }
        if (used + length >= size)
            break;
        memcpy(out + used, piece, (size_t)length);
        used += length;
    }
    out[used] = 0;
    return used;
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
        Utf8Value(image, out, size);
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
