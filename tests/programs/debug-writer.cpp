// Writes debug output for the scenarios of the debug-output monitor: messages through
// OutputDebugString, timed; a message written by hand into the monitor's buffer, as writers do,
// that is signalled late or never; and objects created under the monitor's names before it. Its
// records are the status driver's kind.
#include "program-support.h"

#include <initializer_list>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Sends "TEXT 1" to "TEXT COUNT" as debug output and reports the slowest call: a monitor that
// holds up its writers shows there.
static Result DebugOutput(wchar_t** args)
{
    static wchar_t message[32768 + 16]; // the longest command-line argument and a number
    const int count = _wtoi(args[0]);
    const size_t length = wcsnlen(args[1], 32768);
    memcpy(message, args[1], length * sizeof(wchar_t));
    double slowest = 0;
    for (int n = 1; n <= count; n++) {
        wsprintfW(message + length, L" %d", n);
        const double before = Now();
        OutputDebugStringW(message);
        const double took = Now() - before;
        if (took > slowest)
            slowest = took;
    }
    Print("debug-output", "count=%d\tslowest=%.1f", count, slowest);
    return Result::Ok;
}

enum class PartialEnd { Signal, Die, Gone };

struct PartialWrite {
    DWORD ms;
    PartialEnd end;
    DWORD pid; // the writer's, as the buffer has it
    char text[256];
    HANDLE holding;
};

// One message written by hand as writers do it: the writers' mutex, then the buffer, filled; after
// ms milliseconds the data is signalled and the mutex released, or the thread ends owning both,
// which abandons the mutex, as a writer killed half-way.
static void WriteByHand(const PartialWrite& write, HANDLE mutex, char* buffer, HANDLE bufferReady,
                        HANDLE dataReady)
{
    WaitForSingleObject(mutex, INFINITE);
    if (WaitForSingleObject(bufferReady, 10000) != WAIT_OBJECT_0) {
        Print("partial-write", "result=buffer-timeout");
        SetEvent(write.holding);
        ReleaseMutex(mutex);
        return;
    }
    memcpy(buffer, &write.pid, sizeof(write.pid));
    memcpy(buffer + sizeof(write.pid), write.text, strlen(write.text) + 1);
    Print("partial-write", "result=holding\tpid=%lu", write.pid);
    SetEvent(write.holding);
    Sleep(write.ms);
    if (write.end != PartialEnd::Signal)
        return;
    // Set again meanwhile, the buffer was given to a second writer while this one still held it
    // (taking the event here undoes that).
    const bool given = WaitForSingleObject(bufferReady, 0) == WAIT_OBJECT_0;
    SetEvent(dataReady);
    ReleaseMutex(mutex);
    Print("partial-write", "result=signalled\tgiven-again=%d", given);
}

static DWORD WINAPI PartialWriter(LPVOID parameter)
{
    // A copy: once the buffer is held, the next command may reuse the one given.
    const PartialWrite write = *static_cast<PartialWrite*>(parameter);
    HANDLE mutex = CreateMutexW(NULL, FALSE, L"DBWinMutex");
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"DBWIN_BUFFER");
    HANDLE bufferReady = OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"DBWIN_DATA_READY");
    char* buffer =
        mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
    if (mutex && buffer && bufferReady && dataReady) {
        WriteByHand(write, mutex, buffer, bufferReady, dataReady);
    } else {
        Print("partial-write", "result=error\terror=%lu", GetLastError());
        SetEvent(write.holding);
    }
    if (buffer)
        UnmapViewOfFile(buffer);
    for (HANDLE handle : {mapping, bufferReady, dataReady, mutex})
        if (handle)
            CloseHandle(handle);
    return 0;
}

// A process that has ended: this program, started without arguments and given no output.
static HANDLE EndedProcess(void)
{
    wchar_t path[MAX_PATH];
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION info;
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (!GetModuleFileNameW(NULL, path, MAX_PATH) ||
        !CreateProcessW(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return NULL;
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, 60000);
    return info.hProcess;
}

// Starts PartialWriter and returns once it holds the buffer.
static Result PartialWriteCommand(wchar_t** args)
{
    static PartialWrite write;
    const wchar_t* end = args[1];
    if (lstrcmpW(end, L"signal") && lstrcmpW(end, L"die") && lstrcmpW(end, L"gone"))
        return Result::Usage;
    write.ms = wcstoul(args[0], NULL, 10);
    write.end = !lstrcmpW(end, L"signal") ? PartialEnd::Signal
                : !lstrcmpW(end, L"die")  ? PartialEnd::Die
                                          : PartialEnd::Gone;
    Utf8Value(args[2], write.text, sizeof(write.text));
    // Gone: the id of a process that has ended, held open for good so that the id is not reused.
    HANDLE ended = write.end == PartialEnd::Gone ? EndedProcess() : NULL;
    write.pid = ended ? GetProcessId(ended) : GetCurrentProcessId();
    write.holding = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE thread = write.holding && (ended || write.end != PartialEnd::Gone)
                        ? CreateThread(NULL, 0, PartialWriter, &write, 0, NULL)
                        : NULL;
    if (thread) {
        WaitForSingleObject(write.holding, INFINITE);
        CloseHandle(thread);
    } else {
        Print("partial-write", "result=error\terror=%lu", GetLastError());
    }
    if (write.holding)
        CloseHandle(write.holding);
    return thread ? Result::Ok : Result::Failed;
}

// Creates a named event or mapping and keeps it until the program ends, as another program would
// that took the names a monitor wants.
static Result HoldObject(wchar_t** args)
{
    const bool event = !lstrcmpW(args[0], L"event");
    if (!event && lstrcmpW(args[0], L"mapping"))
        return Result::Usage;
    HANDLE object =
        event ? CreateEventW(NULL, FALSE, FALSE, args[1])
              : CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, args[1]);
    const DWORD error = GetLastError();
    char name[MAX_PATH * 3];
    Utf8Value(args[1], name, sizeof(name));
    if (!object) {
        Print("hold-object", "name=%s\tresult=error\terror=%lu", name, error);
        return Result::Failed;
    }
    Print("hold-object", "name=%s\tresult=%s", name,
          error == ERROR_ALREADY_EXISTS ? "existed" : "created");
    return Result::Ok;
}

static const Command kCommands[] = {
    {L"debug-output", 2, "COUNT TEXT", DebugOutput},
    {L"partial-write", 3, "MS signal|die|gone TEXT", PartialWriteCommand},
    {L"hold-object", 2, "event|mapping NAME", HoldObject},
};
static const char kSynopsis[] = "debug-writer COMMAND...";

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        PrintUsage(kSynopsis, kCommands, ARRAYSIZE(kCommands));
        return 2;
    }
    BeginRecords();
    const int failures = RunCommands(kSynopsis, kCommands, ARRAYSIZE(kCommands), 1, argc, argv);
    if (failures < 0)
        return 2;
    Print("done", "failures=%d", failures);
    return failures ? 1 : 0;
}
