#pragma once
// Test side of the simulated platform: set it up, inject faults, drive the dispatcher and read
// what the code under test did.

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

enum class Call {
    StartServiceCtrlDispatcherW,
    RegisterServiceCtrlHandlerW,
    SetServiceStatus,
    CreateEventW,
    CreateThread,
    CreateToolhelp32Snapshot,
    Process32FirstW,
    Process32NextW,
    OpenProcess,
    TerminateProcess,
    GetFileAttributesW,
    GetSystemDirectoryW,
    CreateProcessW,
};

// Forgets everything from the previous test; every thread the platform started must have ended.
void Reset();

// The nth call (counted from 1 since Reset) of `call` fails with `error` as the last error.
void FailCall(Call call, int nth, DWORD error);
int CallCount(Call call);

void SetStartedFromConsole(bool fromConsole);
// Unrunnable: a file that Windows refuses to run (blocked by policy, damaged, another
// architecture).
enum class PathKind { Missing, File, Unrunnable, Directory };
// What the file system holds at `path` (letter case aside). At first it holds the interpreter,
// C:\Windows\system32\cmd.exe, and c:\windows\Zentorvik.exe, both as files.
void SetPath(const std::wstring& path, PathKind kind);
// Threads from CreateThread wait before their routine until released.
void HoldNewThreads(bool hold);
// Sleep calls block until released.
void HoldSleeps(bool hold);
// Waits until a thread is blocked in a held Sleep.
bool WaitForHeldSleep(int timeoutMs = 5000);

struct Process {
    DWORD id;
    std::wstring exeFile;
    bool running;
    DWORD exitCode;
};
DWORD AddProcess(const std::wstring& exeFile);
std::vector<Process> Processes();
Process FindProcess(DWORD id);

struct Report {
    SERVICE_STATUS status;
    bool delivered;
};
std::vector<Report> Reports();
std::vector<std::wstring> Trace();
// The command lines given to CreateProcessW.
std::vector<std::string> Commands();
std::vector<DWORD> Sleeps();
// Every platform call in order, with its arguments, e.g. "OpenProcess(0x1, 0, 1004)".
std::vector<std::string> CallLog();
// Misuse of handles: use after close, double close, use of a null or invalid handle.
std::vector<std::string> HandleFaults();
// Handles still open, by kind ("event", "thread", "process", "snapshot").
std::vector<std::string> OpenHandles();

// Controller side. Each wait gives up after `timeoutMs` and returns false.
bool WaitForReport(DWORD state, int timeoutMs = 5000);
bool WaitForSleeps(size_t count, int timeoutMs = 5000);
bool WaitForServiceMainReturn(int timeoutMs = 5000);
bool ServiceMainStarted();
// Delivers a control to the registered handler on the dispatcher's thread and returns once the
// handler has returned. Returns false when no handler is registered or the dispatcher is gone.
bool SendControl(DWORD control, int timeoutMs = 5000);
// The controller gives up on the service: the dispatcher call returns.
void Disconnect();

} // namespace sim
