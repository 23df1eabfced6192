#include "program-support.h"

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

static Result Mark(wchar_t** args)
{
    char text[256];
    Utf8Value(args[0], text, sizeof(text));
    Print("mark", "text=%s", text);
    return Result::Ok;
}

static Result Hold(wchar_t** args)
{
    const DWORD ms = wcstoul(args[0], NULL, 10);
    Sleep(ms);
    Print("hold", "ms=%lu\tresult=done", ms);
    return Result::Ok;
}

static const Command kCommon[] = {
    {L"hold", 1, "MS", Hold},
    {L"mark", 1, "TEXT", Mark},
};

void PrintUsage(const char* synopsis, const Command* commands, int count)
{
    fprintf(stderr, "usage: %s\n", synopsis);
    for (int i = 0; i < count + (int)ARRAYSIZE(kCommon); i++) {
        const Command& command = i < count ? commands[i] : kCommon[i - count];
        fprintf(stderr, "  %ls%s%s\n", command.name, *command.usage ? " " : "", command.usage);
    }
}

static const Command* FindCommand(const Command* commands, int count, const wchar_t* name)
{
    for (int i = 0; i < count; i++)
        if (!lstrcmpW(name, commands[i].name))
            return &commands[i];
    for (const Command& command : kCommon)
        if (!lstrcmpW(name, command.name))
            return &command;
    return NULL;
}

int RunCommands(const char* synopsis, const Command* commands, int count, int first, int argc,
                wchar_t** argv)
{
    int failures = 0;
    for (int i = first; i < argc; i++) {
        const Command* command = FindCommand(commands, count, argv[i]);
        const Result result =
            command && i + command->arguments < argc ? command->run(argv + i + 1) : Result::Usage;
        if (result == Result::Usage) {
            PrintUsage(synopsis, commands, count);
            return -1;
        }
        failures += result == Result::Failed;
        i += command->arguments;
    }
    return failures;
}

void LogStart(const wchar_t* path)
{
    static char line[8192];
    static char command[8192 - 64 - MAX_PATH * 3];
    char image[MAX_PATH * 3];
    wchar_t module[MAX_PATH];
    if (!GetModuleFileNameW(NULL, module, MAX_PATH))
        lstrcpyW(module, L"?");
    Utf8Value(module, image, sizeof(image));
    Utf8Value(GetCommandLineW(), command, sizeof(command));
    const int length = snprintf(line, sizeof(line), "pid=%lu\timage=%s\tcommand=%s\n",
                                GetCurrentProcessId(), image, command);
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(log, line, (DWORD)length, &written, NULL);
    CloseHandle(log);
}

void Utf8Value(const wchar_t* text, char* out, int size)
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
}
