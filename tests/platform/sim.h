#pragma once
// Test side of the simulated platform: set it up, inject faults, drive the dispatcher and read
// what the code under test did.

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// Forgets everything from the previous test; every thread the platform started must have ended.
void Reset();

// The nth call (counted from 1 since Reset) of the platform call named `call`, as the record
// names it, and the `times - 1` calls after it, fail with `error` as the last error.
void FailCall(const std::string& call, int nth, DWORD error, int times = 1);

// Unrunnable: a file Windows refuses to run (blocked by policy, damaged, another architecture).
enum class PathKind { Missing, File, Unrunnable, Directory };
// What the file system holds at `path` (letter case aside). At first it holds
// c:\windows\Zentorvik.exe, as a file.
void SetPath(const std::wstring& path, PathKind kind);
// Threads from CreateThread wait before their routine until released.
void HoldNewThreads(bool hold);

struct Process {
    DWORD id;
    std::wstring exeFile;
    bool running;
    DWORD exitCode;
};
DWORD AddProcess(const std::wstring& exeFile);

// What the code under test did, and the process table as it left it.
struct Record {
    std::vector<SERVICE_STATUS> reports; // every one, whether delivered or failed
    std::vector<std::wstring> trace;
    // Every platform call in order, with its arguments, e.g. "OpenProcess(0x1, 0, 1004)".
    std::vector<std::string> calls;
    // Misuse of handles: use after close, double close, use of a null or invalid handle.
    std::vector<std::string> handleFaults;
    // Handles still open, by kind ("event", "thread", "process", "snapshot").
    std::vector<std::string> openHandles;
    std::vector<Process> processes;
};
Record Recorded();
// The calls recorded so far whose record starts with `prefix`.
size_t CountCalls(const std::string& prefix);

// Controller side. Each wait gives up after `timeoutMs` and returns false.
bool WaitForCall(const std::string& prefix, int timeoutMs = 5000);
bool WaitForServiceMainReturn(int timeoutMs = 5000);
bool ServiceMainStarted();
// Delivers a control to the registered handler on the dispatcher's thread and returns once the
// handler has returned. Returns false when no handler is registered or the dispatcher is gone.
bool SendControl(DWORD control, int timeoutMs = 5000);
// The controller gives up on the service: the dispatcher call returns.
void Disconnect();

} // namespace sim
