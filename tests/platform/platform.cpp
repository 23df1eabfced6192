// The simulated platform: the Win32 calls the service makes, backed by in-memory state that the
// tests set up and inspect through sim.h. One lock guards all of it.

#include "sim.h"

#include <tlhelp32.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

struct Object {
    std::string kind;                       // "event", "thread", "process" or "snapshot"
    DWORD processId = 0;                    // of a process object
    bool signaled = false;                  // an event once set, a thread once ended
    std::vector<sim::Process> entries = {}; // a snapshot's
    size_t next = 0;
    bool open = true;
};

// Thrown into a thread that waits or sleeps when the test resets the platform (or that the
// platform blocks for good): the thread unwinds as it would end with its process, so that a test
// that failed half-way ends instead of hanging.
struct Abandoned {};

struct State {
    std::map<uintptr_t, Object> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::thread> threads;
    bool holdThreads = false, tearingDown = false;

    std::map<std::pair<std::string, int>, DWORD> faults; // error by call name and count
    // Paths with their letters folded to lower case.
    std::map<std::wstring, sim::PathKind> paths = {
        {L"c:\\windows\\zentorvik.exe", sim::PathKind::File}};
    DWORD nextProcessId = 1000;
    sim::Record record;

    std::wstring serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    std::thread serviceThread;
    bool serviceMainReturned = false, dispatcherRunning = false, stoppedReported = false,
         disconnected = false;
    DWORD control = 0; // sent and not yet handled (no control is 0)
};

std::mutex g_lock;
std::condition_variable g_changed;
State* g_state = new State; // never freed: threads may still read it while the process exits
// Conspicuous in a report or exit code that took it where no call failed.
thread_local DWORD t_lastError = 0xdeadbeef;

SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5000);

// Sets the last error a failed call leaves behind and returns its failure value.
template <typename Result>
Result Fail(DWORD error, Result failure)
{
    t_lastError = error;
    return failure;
}

size_t CallsStartingWith(const std::string& prefix)
{
    size_t count = 0;
    for (const std::string& call : g_state->record.calls)
        count += call.compare(0, prefix.size(), prefix) == 0;
    return count;
}

// Records a call with its arguments. Returns whether the test made this call of its name (the text
// before "(") fail, with the last error it gave.
__attribute__((format(printf, 1, 2))) bool Enter(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_state->record.calls.push_back(text);
    const std::string name = std::string(text).substr(0, std::strcspn(text, "("));
    auto fault = g_state->faults.find({name, static_cast<int>(CallsStartingWith(name))});
    return fault != g_state->faults.end() && Fail(fault->second, true);
}

// Opens every simulated call that a test may make fail: under the platform's lock, records the
// call and returns `failure` when the test asked for it.
#define ENTER_OR_FAIL(failure, ...)                                                                \
    std::unique_lock<std::mutex> lock(g_lock);                                                     \
    if (Enter(__VA_ARGS__))                                                                        \
    return failure

HANDLE NewHandle(Object object)
{
    uintptr_t value = g_state->nextHandle;
    g_state->nextHandle += 4; // never reused, so a stale handle is always caught
    g_state->handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

// The open object of that kind (of any kind for nullptr) behind a handle; a misused handle is
// recorded and fails the call.
Object* Lookup(HANDLE handle, const char* kind, const char* caller)
{
    auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
    const char* problem = it == g_state->handles.end()                 ? "no such handle"
                          : !it->second.open                           ? "handle used after close"
                          : kind != nullptr && it->second.kind != kind ? "handle of the wrong kind"
                                                                       : nullptr;
    if (problem == nullptr)
        return &it->second;
    g_state->record.handleFaults.push_back(std::string(caller) + ": " + problem);
    return Fail<Object*>(ERROR_INVALID_HANDLE, nullptr);
}

sim::Process* FindRunning(DWORD id)
{
    for (sim::Process& process : g_state->record.processes)
        if (process.id == id && process.running)
            return &process;
    return nullptr;
}

template <typename Predicate>
bool Await(int timeoutMs, Predicate done)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
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
    return text == nullptr ? "" : std::string(text, text + wcslen(text));
}

DWORD AddRunningProcess(const std::wstring& exeFile)
{
    DWORD id = g_state->nextProcessId;
    g_state->nextProcessId += 4;
    g_state->record.processes.push_back({id, exeFile, true, 0});
    return id;
}

} // namespace

namespace sim {

void Reset()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_state->holdThreads = false;
        g_state->tearingDown = true;
        threads.swap(g_state->threads);
        threads.push_back(std::move(g_state->serviceThread));
    }
    g_changed.notify_all();
    for (std::thread& thread : threads)
        if (thread.joinable())
            thread.join();

    std::lock_guard<std::mutex> guard(g_lock);
    *g_state = State{};
}

void FailCall(const std::string& call, int nth, DWORD error, int times)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (int n = nth; n < nth + times; ++n)
        g_state->faults[{call, n}] = error;
}

void SetPath(const std::wstring& path, PathKind kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->paths[Folded(path)] = kind;
}

void HoldNewThreads(bool hold)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->holdThreads = hold;
    g_changed.notify_all();
}

DWORD AddProcess(const std::wstring& exeFile)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return AddRunningProcess(exeFile);
}

Record Recorded()
{
    std::lock_guard<std::mutex> guard(g_lock);
    Record record = g_state->record;
    for (const auto& [value, object] : g_state->handles)
        if (object.open)
            record.openHandles.push_back(object.kind);
    return record;
}

size_t CountCalls(const std::string& prefix)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return CallsStartingWith(prefix);
}

bool WaitForCall(const std::string& prefix, int timeoutMs)
{
    return Await(timeoutMs, [&prefix] { return CallsStartingWith(prefix) > 0; });
}

bool WaitForServiceMainReturn(int timeoutMs)
{
    return Await(timeoutMs, [] { return g_state->serviceMainReturned; });
}

bool ServiceMainStarted()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state->serviceThread.joinable();
}

bool SendControl(DWORD control, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_state->dispatcherRunning || g_state->handler == nullptr)
        return false;
    g_state->control = control;
    g_changed.notify_all();
    return g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [] { return g_state->control == 0; });
}

void Disconnect()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->disconnected = true;
    g_changed.notify_all();
}

} // namespace sim

// Runs ServiceMain on a thread of its own and the controls on the calling thread, until the
// service reports stopped or the controller disconnects.
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table)
{
    ENTER_OR_FAIL(FALSE, "StartServiceCtrlDispatcherW");
    if (table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    g_state->serviceName = table[0].lpServiceName;
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
            return g_state->control != 0 || g_state->stoppedReported || g_state->disconnected;
        });
        if (g_state->stoppedReported || g_state->disconnected)
            break;
        DWORD control = g_state->control;
        LPHANDLER_FUNCTION handler = g_state->handler;
        lock.unlock();
        handler(control);
        lock.lock();
        g_state->control = 0;
        g_changed.notify_all();
    }
    g_state->dispatcherRunning = false;
    g_changed.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler)
{
    ENTER_OR_FAIL(nullptr, "RegisterServiceCtrlHandlerW");
    if (name == nullptr || g_state->serviceName != name)
        return Fail(ERROR_SERVICE_NOT_IN_EXE, nullptr);
    g_state->handler = handler;
    return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status)
{
    std::lock_guard<std::mutex> guard(g_lock);
    bool delivered = !Enter("SetServiceStatus(%u)", status->dwCurrentState);
    if (delivered && handle != kStatusHandle) {
        g_state->record.handleFaults.push_back(
            "SetServiceStatus: not the registered status handle");
        t_lastError = ERROR_INVALID_HANDLE;
        delivered = false;
    }
    g_state->record.reports.push_back(*status);
    if (delivered && status->dwCurrentState == SERVICE_STOPPED)
        g_state->stoppedReported = true;
    g_changed.notify_all();
    return delivered ? TRUE : FALSE;
}

// A manual-reset event, as the service asks for (the record shows what it asked for).
HANDLE WINAPI CreateEventW(void* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    ENTER_OR_FAIL(nullptr, "CreateEventW(%p, %d, %d, %p)", attributes, manualReset, initialState,
                  static_cast<const void*>(name));
    return NewHandle({"event", 0, initialState != FALSE});
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    ENTER_OR_FAIL(FALSE, "SetEvent");
    Object* event = Lookup(handle, "event", "SetEvent");
    if (event == nullptr)
        return FALSE;
    event->signaled = true;
    g_changed.notify_all();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(g_lock);
    Object* object = Lookup(handle, nullptr, "WaitForSingleObject");
    Enter("WaitForSingleObject(%s, %u)", object != nullptr ? object->kind.c_str() : "?",
          milliseconds);
    if (object == nullptr)
        return WAIT_FAILED;
    // A process object is signaled once its process has ended.
    auto signaled = [object] {
        return object->kind == "process" ? FindRunning(object->processId) == nullptr
                                         : object->signaled;
    };
    // A timed wait is recorded, not waited out: it returns at once with what holds then.
    if (milliseconds == INFINITE)
        g_changed.wait(lock, [&] { return signaled() || g_state->tearingDown; });
    if (g_state->tearingDown)
        throw Abandoned{};
    return signaled() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE WINAPI CreateThread(void* attributes, size_t stackSize, DWORD(WINAPI* routine)(LPVOID),
                           LPVOID parameter, DWORD flags, DWORD* threadId)
{
    ENTER_OR_FAIL(nullptr, "CreateThread(%p, %zu, %p, %u, %p)", attributes, stackSize, parameter,
                  flags, static_cast<void*>(threadId));
    HANDLE handle = NewHandle({"thread"});
    Object* thread = &g_state->handles.at(reinterpret_cast<uintptr_t>(handle));
    g_state->threads.emplace_back([routine, parameter, thread] {
        {
            std::unique_lock<std::mutex> held(g_lock);
            g_changed.wait(held, [] { return !g_state->holdThreads; });
        }
        try {
            routine(parameter);
        } catch (const Abandoned&) {
            return;
        }
        std::lock_guard<std::mutex> done(g_lock);
        thread->signaled = true;
        g_changed.notify_all();
    });
    return handle;
}

// The poll interval is recorded, not waited out: a sleep lasts until something changes or a
// millisecond passes.
VOID WINAPI Sleep(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(g_lock);
    Enter("Sleep(%u)", milliseconds);
    g_changed.notify_all();
    g_changed.wait_for(lock, std::chrono::milliseconds(1));
    if (g_state->tearingDown)
        throw Abandoned{};
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Object* object = Lookup(handle, nullptr, "CloseHandle");
    Enter("CloseHandle(%s)", object != nullptr ? object->kind.c_str() : "?");
    if (object == nullptr)
        return FALSE;
    object->open = false;
    return TRUE;
}

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    ENTER_OR_FAIL(INVALID_HANDLE_VALUE, "CreateToolhelp32Snapshot(0x%x, %u)", flags, processId);
    Object snapshot{"snapshot"};
    if (flags & TH32CS_SNAPPROCESS)
        for (const sim::Process& process : g_state->record.processes)
            if (process.running)
                snapshot.entries.push_back(process);
    return NewHandle(std::move(snapshot));
}

static BOOL ReadEntry(HANDLE handle, PROCESSENTRY32W* entry, bool first)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const char* name = first ? "Process32FirstW" : "Process32NextW";
    Object* snapshot = Lookup(handle, "snapshot", name);
    if (Enter("%s", name) || snapshot == nullptr)
        return FALSE;
    if (entry->dwSize != sizeof(PROCESSENTRY32W))
        return Fail(ERROR_BAD_LENGTH, FALSE);
    if (first)
        snapshot->next = 0;
    if (snapshot->next >= snapshot->entries.size())
        return Fail(ERROR_NO_MORE_FILES, FALSE);
    const sim::Process& process = snapshot->entries[snapshot->next++];
    entry->th32ProcessID = process.id;
    wcsncpy(entry->szExeFile, process.exeFile.c_str(), MAX_PATH - 1);
    entry->szExeFile[MAX_PATH - 1] = L'\0';
    return TRUE;
}

BOOL WINAPI Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ReadEntry(snapshot, entry, true);
}

BOOL WINAPI Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ReadEntry(snapshot, entry, false);
}

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    ENTER_OR_FAIL(nullptr, "OpenProcess(0x%x, %d, %u)", access, inherit, processId);
    return NewHandle({"process", processId});
}

BOOL WINAPI TerminateProcess(HANDLE handle, UINT exitCode)
{
    ENTER_OR_FAIL(FALSE, "TerminateProcess(%u)", exitCode);
    Object* object = Lookup(handle, "process", "TerminateProcess");
    if (object == nullptr)
        return FALSE;
    sim::Process* process = FindRunning(object->processId);
    if (process == nullptr)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    process->running = false;
    process->exitCode = exitCode;
    return TRUE;
}

// Like the platform without a debugger attached, the call leaves a last error behind.
VOID WINAPI OutputDebugStringW(LPCWSTR text)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state->record.trace.push_back(text);
    g_changed.notify_all();
    t_lastError = ERROR_FILE_NOT_FOUND;
}

// As the runtime library's in the "C" locale: only the letters A to Z are folded.
int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    return Folded(a).compare(Folded(b));
}

DWORD WINAPI GetFileAttributesW(LPCWSTR path)
{
    ENTER_OR_FAIL(INVALID_FILE_ATTRIBUTES, "GetFileAttributesW(%s)", Narrow(path).c_str());
    const sim::PathKind kind = PathAt(path);
    if (kind == sim::PathKind::Missing)
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    return kind == sim::PathKind::Directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    static const wchar_t kSystemDirectory[] = L"C:\\Windows\\system32";
    ENTER_OR_FAIL(0, "GetSystemDirectoryW");
    if (buffer == nullptr || size < ARRAYSIZE(kSystemDirectory))
        return ARRAYSIZE(kSystemDirectory);
    wmemcpy(buffer, kSystemDirectory, ARRAYSIZE(kSystemDirectory));
    return ARRAYSIZE(kSystemDirectory) - 1;
}

// Runs the interpreter at once. For "<interpreter>" /c start <path> ... it starts the program at
// a file's path and ends; a directory launches nothing. For a missing path or a file Windows
// refuses to run, the shell shows a message box that waits for a user a service's session does
// not have, so the interpreter never ends.
BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, void* processAttributes,
                           void* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                           LPVOID environment, LPCWSTR currentDirectory, STARTUPINFOW* startupInfo,
                           PROCESS_INFORMATION* processInformation)
{
    ENTER_OR_FAIL(FALSE, "CreateProcessW(%s, %s, %p, %p, %d, 0x%x, %p, %p)",
                  Narrow(applicationName).c_str(), Narrow(commandLine).c_str(), processAttributes,
                  threadAttributes, inheritHandles, creationFlags, environment,
                  static_cast<const void*>(currentDirectory));
    if (applicationName == nullptr || commandLine == nullptr || startupInfo == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOW) || processInformation == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    const std::wstring interpreter = applicationName, command = commandLine;
    const DWORD id = AddRunningProcess(interpreter.substr(interpreter.rfind(L'\\') + 1));
    const size_t start = command.find(L" /c start ");
    std::wstring path = start == std::wstring::npos ? L"" : command.substr(start + 10);
    path = path.substr(0, path.find(L' '));
    const sim::PathKind kind = PathAt(path);
    if (kind == sim::PathKind::File)
        AddRunningProcess(path.substr(path.rfind(L'\\') + 1));
    if (kind == sim::PathKind::File || kind == sim::PathKind::Directory)
        FindRunning(id)->running = false;
    processInformation->hProcess = NewHandle({"process", id});
    processInformation->hThread = NewHandle({"thread"});
    processInformation->dwProcessId = id;
    processInformation->dwThreadId = id + 1;
    return TRUE;
}
