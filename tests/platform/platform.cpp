// The simulated platform: the Win32 calls the service makes, backed by in-memory state that the
// tests set up and inspect through sim.h. One lock guards all of it.

#include "sim.h"

#include <tlhelp32.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

enum class Kind { Event, Thread, Process, Snapshot };

struct Object {
    Kind kind;
    bool open;
    bool manualReset;
    bool signaled;
    DWORD processId;
    std::vector<sim::Process> snapshot;
    size_t next;
};

// Thrown into a thread that waits or sleeps when the test resets the platform (or that the
// platform blocks for good): the thread unwinds as it would end with its process, so that a test
// that failed half-way ends instead of hanging.
struct Abandoned {};

struct Fault {
    sim::Call call;
    int nth;
    DWORD error;
};

struct State {
    std::map<uintptr_t, Object> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::thread> threads;
    bool holdThreads = false;
    bool holdSleeps = false;
    int heldSleeps = 0;

    std::vector<Fault> faults;
    std::map<sim::Call, int> callCounts;
    bool fromConsole = false;
    bool tearingDown = false;
    // Paths with their letters folded to lower case.
    std::map<std::wstring, sim::PathKind> paths = {
        {L"c:\\windows\\system32\\cmd.exe", sim::PathKind::File},
        {L"c:\\windows\\zentorvik.exe", sim::PathKind::File}};

    std::vector<sim::Process> processes;
    DWORD nextProcessId = 1000;

    std::vector<sim::Report> reports;
    std::vector<std::wstring> trace;
    std::vector<std::string> commands;
    std::vector<DWORD> sleeps;
    std::vector<std::string> callLog;
    std::vector<std::string> handleFaults;

    std::wstring serviceName;
    LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
    LPHANDLER_FUNCTION handler = nullptr;
    std::thread serviceThread;
    bool serviceMainReturned = false;
    bool dispatcherRunning = false;
    bool stoppedReported = false;
    bool disconnected = false;
    std::deque<DWORD> controls;
    int controlsHandled = 0;
};

std::mutex g_lock;
std::condition_variable g_changed;
State* g_state = new State; // never freed: threads may still read it while the process exits
thread_local DWORD t_lastError = 0;

SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5000);

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Counts the call and tells whether a fault was injected for it; sets the last error if so.
bool Failing(sim::Call call)
{
    int count = ++g_state->callCounts[call];
    for (const Fault& fault : g_state->faults) {
        if (fault.call == call && fault.nth == count) {
            t_lastError = fault.error;
            return true;
        }
    }
    return false;
}

HANDLE NewHandle(Object object)
{
    uintptr_t value = g_state->nextHandle;
    g_state->nextHandle += 4; // never reused, so a stale handle is always caught
    g_state->handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

Object* Lookup(HANDLE handle, Kind kind, const char* caller)
{
    auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
    const char* problem = nullptr;
    if (handle == nullptr)
        problem = "null handle";
    else if (handle == INVALID_HANDLE_VALUE)
        problem = "invalid handle value";
    else if (it == g_state->handles.end())
        problem = "unknown handle";
    else if (!it->second.open)
        problem = "handle used after close";
    else if (it->second.kind != kind)
        problem = "handle of the wrong kind";
    if (problem != nullptr) {
        g_state->handleFaults.push_back(Format("%s: %s %p", caller, problem, handle));
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &it->second;
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Event: return "event";
    case Kind::Thread: return "thread";
    case Kind::Process: return "process";
    case Kind::Snapshot: return "snapshot";
    }
    return "?";
}

sim::Process* FindRunning(DWORD id)
{
    for (sim::Process& process : g_state->processes)
        if (process.id == id && process.running)
            return &process;
    return nullptr;
}

template <typename Predicate>
bool WaitUntil(std::unique_lock<std::mutex>& lock, int timeoutMs, Predicate done)
{
    return g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

void FillEntry(const sim::Process& process, PROCESSENTRY32W* entry)
{
    entry->th32ProcessID = process.id;
    wcsncpy(entry->szExeFile, process.exeFile.c_str(), MAX_PATH - 1);
    entry->szExeFile[MAX_PATH - 1] = L'\0';
}

std::wstring Folded(std::wstring path)
{
    for (wchar_t& c : path)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return path;
}

sim::PathKind PathAt(const std::wstring& path)
{
    auto it = g_state->paths.find(Folded(path));
    return it == g_state->paths.end() ? sim::PathKind::Missing : it->second;
}

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (const wchar_t* c = text; c != nullptr && *c != L'\0'; ++c)
        narrow += static_cast<char>(*c);
    return narrow;
}

// A process object is signaled once its process has ended, as a thread or event object once set.
bool Signaled(const Object& object)
{
    return object.kind == Kind::Process ? FindRunning(object.processId) == nullptr
                                        : object.signaled;
}

DWORD AddRunningProcess(const std::wstring& exeFile)
{
    DWORD id = g_state->nextProcessId;
    g_state->nextProcessId += 4;
    g_state->processes.push_back({id, exeFile, true, 0});
    return id;
}

// A copy of one part of the state, taken under the lock.
template <typename T>
T Recorded(T State::*member)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state->*member;
}

} // namespace

namespace sim {

void Reset()
{
    std::vector<std::thread> threads;
    std::thread serviceThread;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_state->holdThreads = false;
        g_state->holdSleeps = false;
        g_state->tearingDown = true;
        threads.swap(g_state->threads);
        serviceThread.swap(g_state->serviceThread);
    }
    g_changed.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    if (serviceThread.joinable())
        serviceThread.join();

    std::lock_guard<std::mutex> guard(g_lock);
    *g_state = State{};
}

void FailCall(Call call, int nth, DWORD error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->faults.push_back({call, nth, error});
}

int CallCount(Call call)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state->callCounts[call];
}

void SetStartedFromConsole(bool fromConsole)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->fromConsole = fromConsole;
}

void SetPath(const std::wstring& path, PathKind kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (kind == PathKind::Missing)
        g_state->paths.erase(Folded(path));
    else
        g_state->paths[Folded(path)] = kind;
}

void HoldNewThreads(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_state->holdThreads = hold;
    }
    g_changed.notify_all();
}

void HoldSleeps(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_state->holdSleeps = hold;
    }
    g_changed.notify_all();
}

bool WaitForHeldSleep(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return WaitUntil(lock, timeoutMs, [] { return g_state->heldSleeps > 0; });
}

DWORD AddProcess(const std::wstring& exeFile)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return AddRunningProcess(exeFile);
}

std::vector<Process> Processes()
{
    return Recorded(&State::processes);
}

Process FindProcess(DWORD id)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Process& process : g_state->processes)
        if (process.id == id)
            return process;
    return {0, L"", false, 0};
}

std::vector<Report> Reports()
{
    return Recorded(&State::reports);
}

std::vector<std::wstring> Trace()
{
    return Recorded(&State::trace);
}

std::vector<std::string> Commands()
{
    return Recorded(&State::commands);
}

std::vector<DWORD> Sleeps()
{
    return Recorded(&State::sleeps);
}

std::vector<std::string> CallLog()
{
    return Recorded(&State::callLog);
}

std::vector<std::string> HandleFaults()
{
    return Recorded(&State::handleFaults);
}

std::vector<std::string> OpenHandles()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> open;
    for (const auto& [value, object] : g_state->handles)
        if (object.open)
            open.push_back(KindName(object.kind));
    return open;
}

bool WaitForReport(DWORD state, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return WaitUntil(lock, timeoutMs, [state] {
        for (const Report& report : g_state->reports)
            if (report.delivered && report.status.dwCurrentState == state)
                return true;
        return false;
    });
}

bool WaitForSleeps(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return WaitUntil(lock, timeoutMs, [count] { return g_state->sleeps.size() >= count; });
}

bool WaitForServiceMainReturn(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return WaitUntil(lock, timeoutMs, [] { return g_state->serviceMainReturned; });
}

bool ServiceMainStarted()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state->serviceMain != nullptr;
}

bool SendControl(DWORD control, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_state->dispatcherRunning || g_state->handler == nullptr)
        return false;
    int target = g_state->controlsHandled + static_cast<int>(g_state->controls.size()) + 1;
    g_state->controls.push_back(control);
    g_changed.notify_all();
    return WaitUntil(lock, timeoutMs, [target] { return g_state->controlsHandled >= target; });
}

void Disconnect()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_state->disconnected = true;
    }
    g_changed.notify_all();
}

} // namespace sim

// Runs ServiceMain on a thread of its own and the controls on the calling thread, until the
// service reports stopped or the controller disconnects.
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table)
{
    std::unique_lock<std::mutex> lock(g_lock);
    g_state->callLog.push_back("StartServiceCtrlDispatcherW");
    if (Failing(sim::Call::StartServiceCtrlDispatcherW))
        return FALSE;
    if (g_state->fromConsole) {
        t_lastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return FALSE;
    }
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr || table[1].lpServiceName != nullptr ||
        table[1].lpServiceProc != nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    g_state->serviceName = table[0].lpServiceName;
    g_state->serviceMain = table[0].lpServiceProc;
    g_state->dispatcherRunning = true;
    g_state->serviceThread =
        std::thread([serviceMain = table[0].lpServiceProc, name = g_state->serviceName]() mutable {
            LPWSTR argv[] = {name.data(), nullptr};
            try {
                serviceMain(1, argv);
            } catch (const Abandoned&) {
                return;
            }
            std::lock_guard<std::mutex> guard(g_lock);
            g_state->serviceMainReturned = true;
            g_changed.notify_all();
        });

    for (;;) {
        g_changed.wait(lock, [] {
            return !g_state->controls.empty() || g_state->stoppedReported || g_state->disconnected;
        });
        if (g_state->stoppedReported || g_state->disconnected)
            break;
        DWORD control = g_state->controls.front();
        g_state->controls.pop_front();
        LPHANDLER_FUNCTION handler = g_state->handler;
        lock.unlock();
        handler(control);
        lock.lock();
        ++g_state->controlsHandled;
        g_changed.notify_all();
    }
    g_state->dispatcherRunning = false;
    g_changed.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back("RegisterServiceCtrlHandlerW");
    if (Failing(sim::Call::RegisterServiceCtrlHandlerW))
        return nullptr;
    if (name == nullptr || g_state->serviceName != name) {
        t_lastError = ERROR_SERVICE_NOT_IN_EXE;
        return nullptr;
    }
    g_state->handler = handler;
    return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("SetServiceStatus(%u)", status->dwCurrentState));
    bool delivered = !Failing(sim::Call::SetServiceStatus);
    if (delivered && handle != kStatusHandle) {
        g_state->handleFaults.push_back("SetServiceStatus: not the registered status handle");
        t_lastError = ERROR_INVALID_HANDLE;
        delivered = false;
    }
    g_state->reports.push_back({*status, delivered});
    if (delivered && status->dwCurrentState == SERVICE_STOPPED)
        g_state->stoppedReported = true;
    g_changed.notify_all();
    return delivered ? TRUE : FALSE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("CreateEventW(%p, %d, %d, %p)",
                                      static_cast<void*>(attributes), manualReset, initialState,
                                      static_cast<const void*>(name)));
    if (Failing(sim::Call::CreateEventW))
        return nullptr;
    Object event{};
    event.kind = Kind::Event;
    event.open = true;
    event.manualReset = manualReset != FALSE;
    event.signaled = initialState != FALSE;
    return NewHandle(std::move(event));
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back("SetEvent");
    Object* event = Lookup(handle, Kind::Event, "SetEvent");
    if (event == nullptr)
        return FALSE;
    event->signaled = true;
    g_changed.notify_all();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
    Kind kind = it != g_state->handles.end() ? it->second.kind : Kind::Event;
    g_state->callLog.push_back(Format("WaitForSingleObject(%s, %u)", KindName(kind), milliseconds));
    if (Lookup(handle, kind, "WaitForSingleObject") == nullptr)
        return WAIT_FAILED;
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    auto signaled = [value] { return Signaled(g_state->handles.at(value)); };
    // Only the code under test ends a simulated process, so a timed wait on one that runs is
    // recorded, not waited out.
    bool done;
    if (milliseconds == INFINITE)
        done = (g_changed.wait(lock, [&] { return signaled() || g_state->tearingDown; }), true);
    else if (kind == Kind::Process)
        done = signaled();
    else
        done = WaitUntil(lock, static_cast<int>(milliseconds), signaled);
    if (g_state->tearingDown)
        throw Abandoned{};
    if (!done)
        return WAIT_TIMEOUT;
    Object& object = g_state->handles.at(value);
    if (object.kind == Kind::Event && !object.manualReset)
        object.signaled = false;
    return WAIT_OBJECT_0;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                           LPDWORD threadId)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("CreateThread(%p, %zu, %p, %u, %p)",
                                      static_cast<void*>(attributes), stackSize, parameter, flags,
                                      static_cast<void*>(threadId)));
    if (Failing(sim::Call::CreateThread))
        return nullptr;
    Object thread{};
    thread.kind = Kind::Thread;
    thread.open = true;
    HANDLE handle = NewHandle(std::move(thread));
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    g_state->threads.emplace_back([routine, parameter, value] {
        {
            std::unique_lock<std::mutex> lock(g_lock);
            g_changed.wait(lock, [] { return !g_state->holdThreads; });
        }
        try {
            routine(parameter);
        } catch (const Abandoned&) {
            return;
        }
        std::lock_guard<std::mutex> done(g_lock);
        g_state->handles.at(value).signaled = true; // a thread object is signaled when it ends
        g_changed.notify_all();
    });
    return handle;
}

// The poll interval is recorded, not waited out: a sleep lasts until something changes or a
// millisecond passes, unless the test holds sleeps.
VOID WINAPI Sleep(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(g_lock);
    g_state->callLog.push_back(Format("Sleep(%u)", milliseconds));
    g_state->sleeps.push_back(milliseconds);
    if (g_state->holdSleeps) {
        ++g_state->heldSleeps;
        g_changed.notify_all();
        g_changed.wait(lock, [] { return !g_state->holdSleeps; });
        --g_state->heldSleeps;
    }
    g_changed.notify_all();
    g_changed.wait_for(lock, std::chrono::milliseconds(1));
    if (g_state->tearingDown)
        throw Abandoned{};
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
    Kind kind = it != g_state->handles.end() ? it->second.kind : Kind::Event;
    g_state->callLog.push_back(Format("CloseHandle(%s)", KindName(kind)));
    Object* object = Lookup(handle, kind, "CloseHandle");
    if (object == nullptr)
        return FALSE;
    object->open = false;
    return TRUE;
}

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

VOID WINAPI SetLastError(DWORD error)
{
    t_lastError = error;
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("CreateToolhelp32Snapshot(0x%x, %u)", flags, processId));
    if (Failing(sim::Call::CreateToolhelp32Snapshot))
        return INVALID_HANDLE_VALUE;
    Object snapshot{};
    snapshot.kind = Kind::Snapshot;
    snapshot.open = true;
    if (flags & TH32CS_SNAPPROCESS)
        for (const sim::Process& process : g_state->processes)
            if (process.running)
                snapshot.snapshot.push_back(process);
    return NewHandle(std::move(snapshot));
}

static BOOL ReadEntry(HANDLE handle, PROCESSENTRY32W* entry, bool first, sim::Call call)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(first ? "Process32FirstW" : "Process32NextW");
    Object* snapshot = Lookup(handle, Kind::Snapshot, first ? "Process32FirstW" : "Process32NextW");
    if (snapshot == nullptr)
        return FALSE;
    if (Failing(call))
        return FALSE;
    if (entry->dwSize != sizeof(PROCESSENTRY32W)) {
        t_lastError = ERROR_BAD_LENGTH;
        return FALSE;
    }
    if (first)
        snapshot->next = 0;
    if (snapshot->next >= snapshot->snapshot.size()) {
        t_lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    FillEntry(snapshot->snapshot[snapshot->next++], entry);
    return TRUE;
}

BOOL WINAPI Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ReadEntry(snapshot, entry, true, sim::Call::Process32FirstW);
}

BOOL WINAPI Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ReadEntry(snapshot, entry, false, sim::Call::Process32NextW);
}

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("OpenProcess(0x%x, %d, %u)", access, inherit, processId));
    if (Failing(sim::Call::OpenProcess))
        return nullptr;
    if (FindRunning(processId) == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    Object process{};
    process.kind = Kind::Process;
    process.open = true;
    process.processId = processId;
    return NewHandle(std::move(process));
}

BOOL WINAPI TerminateProcess(HANDLE handle, UINT exitCode)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format("TerminateProcess(%u)", exitCode));
    Object* object = Lookup(handle, Kind::Process, "TerminateProcess");
    if (object == nullptr)
        return FALSE;
    if (Failing(sim::Call::TerminateProcess))
        return FALSE;
    sim::Process* process = FindRunning(object->processId);
    if (process == nullptr) {
        t_lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    process->running = false;
    process->exitCode = exitCode;
    return TRUE;
}

// Like the platform without a debugger attached, the call leaves a last error behind.
VOID WINAPI OutputDebugStringW(LPCWSTR text)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->trace.push_back(text);
    g_changed.notify_all();
    t_lastError = ERROR_FILE_NOT_FOUND;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    for (;; ++a, ++b) {
        int difference = static_cast<int>(fold(*a)) - static_cast<int>(fold(*b));
        if (difference != 0 || *a == L'\0')
            return difference;
    }
}

DWORD WINAPI GetFileAttributesW(LPCWSTR path)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back("GetFileAttributesW(" + Narrow(path) + ")");
    if (Failing(sim::Call::GetFileAttributesW))
        return INVALID_FILE_ATTRIBUTES;
    if (path == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_FILE_ATTRIBUTES;
    }
    switch (PathAt(path)) {
    case sim::PathKind::File:
    case sim::PathKind::Unrunnable: return FILE_ATTRIBUTE_ARCHIVE;
    case sim::PathKind::Directory: return FILE_ATTRIBUTE_DIRECTORY;
    case sim::PathKind::Missing: break;
    }
    t_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    static const wchar_t kSystemDirectory[] = L"C:\\Windows\\system32";
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back("GetSystemDirectoryW");
    if (Failing(sim::Call::GetSystemDirectoryW))
        return 0;
    const UINT length = ARRAYSIZE(kSystemDirectory) - 1;
    if (buffer == nullptr || size <= length)
        return length + 1;
    wmemcpy(buffer, kSystemDirectory, length + 1);
    return length;
}

namespace {

// What the interpreter does with "\"<interpreter>\" /c start <path> ...": starts the program at
// a file's path and ends. For a missing path or a file Windows refuses to run, the shell shows a
// message box that waits for a user a service's session does not have, so the interpreter never
// ends. A directory, or another command, launches nothing. Returns whether it ends.
bool Interpret(const std::wstring& interpreter, const std::wstring& commandLine)
{
    const std::wstring prefix = L"\"" + interpreter + L"\" /c start ";
    if (commandLine.compare(0, prefix.size(), prefix) != 0)
        return true;
    std::wstring path = commandLine.substr(prefix.size());
    path = path.substr(0, path.find(L' '));
    switch (PathAt(path)) {
    case sim::PathKind::File: AddRunningProcess(path.substr(path.rfind(L'\\') + 1)); return true;
    case sim::PathKind::Directory: return true;
    case sim::PathKind::Missing:
    case sim::PathKind::Unrunnable: return false;
    }
    return true;
}

} // namespace

// Runs the interpreter at once, to its end or to where it hangs; see Interpret.
BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                           LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->callLog.push_back(Format(
        "CreateProcessW(%s, %p, %p, %d, 0x%x, %p, %p)", Narrow(applicationName).c_str(),
        static_cast<void*>(processAttributes), static_cast<void*>(threadAttributes), inheritHandles,
        creationFlags, environment, static_cast<const void*>(currentDirectory)));
    if (Failing(sim::Call::CreateProcessW))
        return FALSE;
    if (applicationName == nullptr || commandLine == nullptr || startupInfo == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOW) || processInformation == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (PathAt(applicationName) != sim::PathKind::File) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    g_state->commands.push_back(Narrow(commandLine));
    const std::wstring interpreter = applicationName;
    const DWORD id = AddRunningProcess(interpreter.substr(interpreter.rfind(L'\\') + 1));
    if (Interpret(interpreter, commandLine)) {
        sim::Process* process = FindRunning(id);
        process->running = false;
        process->exitCode = 0;
    }

    Object process{};
    process.kind = Kind::Process;
    process.open = true;
    process.processId = id;
    Object thread{};
    thread.kind = Kind::Thread;
    thread.open = true;
    thread.signaled = FindRunning(id) == nullptr;
    processInformation->hProcess = NewHandle(std::move(process));
    processInformation->hThread = NewHandle(std::move(thread));
    processInformation->dwProcessId = id;
    processInformation->dwThreadId = id + 1;
    return TRUE;
}
