// Writes debug output for the scenarios of the debug-output monitor: messages through
// OutputDebugString, timed; a message written by hand into the monitor's buffer, as writers do,
// that is signalled late or never; and objects created under the monitor's names before it. Each
// result is one record a line, as the status driver prints them (tests/e2e/records.py).
#include "program-support.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Sends "TEXT 1" to "TEXT COUNT" as debug output and reports the slowest call: a monitor that
// holds up its writers shows there.
static void SendDebugOutput(int count, const wchar_t* text)
{
    static wchar_t message[32768 + 16]; // the longest command-line argument and a number
    size_t length = wcsnlen(text, 32768);
    memcpy(message, text, length * sizeof(wchar_t));
    double slowest = 0;
    for (int n = 1; n <= count; n++) {
        wsprintfW(message + length, L" %d", n);
        double before = Now();
        OutputDebugStringW(message);
        double took = Now() - before;
        if (took > slowest)
            slowest = took;
    }
    Print("debug-output", "count=%d\tslowest=%.1f", count, slowest);
}

enum class PartialEnd { Signal, Die, Gone };

struct PartialWrite {
    long ms;
    PartialEnd end;
    char text[256];
    HANDLE holding;
    HANDLE ended; // Gone: a process that has ended, held open so that its id is not reused
};

// One message written by hand as writers do it, on its own thread: the writers' mutex, then the
// buffer, filled; after ms milliseconds the data is signalled and the mutex released, or the
// thread ends owning both, which abandons the mutex, as a writer killed half-way.
static DWORD WINAPI PartialWriter(LPVOID parameter)
{
    // Once the buffer is held, the next command may reuse *write.
    PartialWrite* write = static_cast<PartialWrite*>(parameter);
    long ms = write->ms;
    PartialEnd end = write->end;
    HANDLE mutex = CreateMutexW(NULL, FALSE, L"DBWinMutex");
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"DBWIN_BUFFER");
    HANDLE bufferReady = OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"DBWIN_DATA_READY");
    char* buffer =
        mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
    if (!mutex || !buffer || !bufferReady || !dataReady) {
        Print("partial-write", "result=error\terror=%lu", GetLastError());
        SetEvent(write->holding);
    } else {
        WaitForSingleObject(mutex, INFINITE);
        if (WaitForSingleObject(bufferReady, 10000) != WAIT_OBJECT_0) {
            Print("partial-write", "result=buffer-timeout");
            SetEvent(write->holding);
            ReleaseMutex(mutex);
        } else {
            DWORD pid =
                end == PartialEnd::Gone ? GetProcessId(write->ended) : GetCurrentProcessId();
            memcpy(buffer, &pid, sizeof(pid));
            memcpy(buffer + sizeof(pid), write->text, strlen(write->text) + 1);
            Print("partial-write", "result=holding\tpid=%lu", pid);
            SetEvent(write->holding);
            Sleep((DWORD)ms);
            if (end == PartialEnd::Signal) {
                // Set again meanwhile, the buffer was given to a second writer while this one
                // still held it (taking the event here undoes that).
                bool given = WaitForSingleObject(bufferReady, 0) == WAIT_OBJECT_0;
                SetEvent(dataReady);
                ReleaseMutex(mutex);
                Print("partial-write", "result=signalled\tgiven-again=%d", given);
            }
        }
    }
    if (buffer)
        UnmapViewOfFile(buffer);
    if (mapping)
        CloseHandle(mapping);
    if (bufferReady)
        CloseHandle(bufferReady);
    if (dataReady)
        CloseHandle(dataReady);
    if (mutex)
        CloseHandle(mutex);
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
static bool StartPartialWrite(const wchar_t* ms, const wchar_t* end, const wchar_t* text)
{
    static PartialWrite write;
    write.ms = (long)wcstoul(ms, NULL, 10);
    write.end = !lstrcmpW(end, L"signal") ? PartialEnd::Signal
                : !lstrcmpW(end, L"die")  ? PartialEnd::Die
                                          : PartialEnd::Gone;
    Utf8(text, write.text, sizeof(write.text));
    write.ended = write.end == PartialEnd::Gone ? EndedProcess() : NULL;
    write.holding = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE thread = write.holding && (write.end != PartialEnd::Gone || write.ended)
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
    return thread != NULL;
}

// Creates a named event or mapping and keeps it until the driver ends, as another program would
// that took the names a monitor wants.
static bool HoldObject(const wchar_t* kind, const wchar_t* name)
{
    HANDLE object;
    if (!lstrcmpW(kind, L"event"))
        object = CreateEventW(NULL, FALSE, FALSE, name);
    else
        object = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name);
    DWORD error = GetLastError();
    char utf8[MAX_PATH * 3];
    Utf8Value(name, utf8, sizeof(utf8));
    if (!object) {
        Print("hold-object", "name=%s\tresult=error\terror=%lu", utf8, error);
        return false;
    }
    Print("hold-object", "name=%s\tresult=%s", utf8,
          error == ERROR_ALREADY_EXISTS ? "existed" : "created");
    return true;
}

// --- The commands: each gets its arguments, and NULL past them; the writer counts the failed ones
// and stops at a usage error.

static Result DebugOutput(wchar_t** args)
{
    SendDebugOutput(_wtoi(args[0]), args[1]);
    return Result::Ok;
}

static Result PartialWriteCommand(wchar_t** args)
{
    if (lstrcmpW(args[1], L"signal") && lstrcmpW(args[1], L"die") && lstrcmpW(args[1], L"gone"))
        return Result::Usage;
    return StartPartialWrite(args[0], args[1], args[2]) ? Result::Ok : Result::Failed;
}

static Result HoldObjectCommand(wchar_t** args)
{
    if (lstrcmpW(args[0], L"event") && lstrcmpW(args[0], L"mapping"))
        return Result::Usage;
    return HoldObject(args[0], args[1]) ? Result::Ok : Result::Failed;
}

static const Command kCommands[] = {
    {L"debug-output", 2, false, DebugOutput},
    {L"partial-write", 3, false, PartialWriteCommand},
    {L"hold-object", 2, false, HoldObjectCommand},
    {L"hold", 1, false, Hold},
    {L"mark", 1, false, Mark},
};

static void Usage(void)
{
    fprintf(stderr,
            "usage: debug-writer COMMAND...\n"
            "Runs the commands in order:\n"
            "  debug-output COUNT TEXT    OutputDebugString \"TEXT 1\" to \"TEXT COUNT\", then\n"
            "                             the slowest call's milliseconds\n"
            "  partial-write MS signal|die|gone TEXT\n"
            "                             fill the buffer with TEXT by hand, holding the writers'\n"
            "                             mutex and the buffer; after MS ms signal, or end the\n"
            "                             thread holding both (gone: with the id of a process\n"
            "                             that has ended in the buffer)\n"
            "  hold-object event|mapping NAME\n"
            "                             create a named object and keep it until the end\n"
            "  hold MS                    wait MS milliseconds\n"
            "  mark TEXT                  print TEXT with a time stamp\n");
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        Usage();
        return 2;
    }
    BeginRecords();
    const int failures = RunCommands(kCommands, ARRAYSIZE(kCommands), 1, argc, argv);
    if (failures < 0) {
        Usage();
        return 2;
    }
    Print("done", "failures=%d", failures);
    return failures ? 1 : 0;
}
