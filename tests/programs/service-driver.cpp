// Drives one service through the service controller and records every status it reports.
//
// A recorder thread polls QueryServiceStatusEx, so checkpoint and exit-code changes are seen as
// well as state changes (a state-change notification would miss them): every 16 ms, Windows'
// default timer tick (to which a shorter wait rounds up there), from the driver's start or control
// until the status changes and for a quarter of a second after each change; every 32 ms once a
// status has held that long, as it then holds until the service's own work ends (its launch, its
// 3000 ms poll), which the stop's bound allows for. Each query costs the service controller about
// 2 ms of CPU under Wine. A `wait` does not poll beside the recorder: it waits for the recorder to
// see a change.
// tests/e2e/reader/formats.py lists the records.
#include "program-support.h"

#include <tlhelp32.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const DWORD kPollMs = 16;
static const DWORD kHeldPollMs = 32;
static const DWORD kHeldAfterMs = 250;
static const int kMaxWatched = 64;

// Read and changed under LockRecords, so that two pollers print their answers in order.
static SC_HANDLE g_Service;
static SERVICE_STATUS_PROCESS g_Last;
static HANDLE g_ServiceProcess;
static DWORD g_ServicePid;
static HANDLE g_ChangeAskedEvent;
static HANDLE g_StatusChangedEvent;

// Processes are held open from the moment they are seen: Wine reuses process ids quickly, and the
// handle keeps the process's exit code and image once it ends.
static struct {
    DWORD pid;
    HANDLE process;
} g_Watched[kMaxWatched];
static int g_WatchedCount;

// Indexed by the state's value.
static const char* const kStates[] = {"UNKNOWN",       "STOPPED", "START_PENDING",
                                      "STOP_PENDING",  "RUNNING", "CONTINUE_PENDING",
                                      "PAUSE_PENDING", "PAUSED"};
// Indexed by the control's value less one.
static const wchar_t* const kControls[] = {L"stop", L"pause", L"continue", L"interrogate"};

static const char* StateName(DWORD state)
{
    return state <= SERVICE_PAUSED ? kStates[state] : kStates[0];
}

// Opens the process to wait for it and to read its image; records the error under event when it
// cannot.
static HANDLE HoldProcess(const char* event, DWORD pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        Print(event, "pid=%lu\tresult=error\terror=%lu", pid, GetLastError());
    return process;
}

// The process's image path as a field's value, or "?".
static void ImageOf(HANDLE process, char* out, int size)
{
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, image, &length))
        Utf8Value(image, out, size);
    else
        lstrcpyA(out, "?");
}

static bool ExitsWithin(HANDLE process, DWORD ms, DWORD* code)
{
    return WaitForSingleObject(process, ms) == WAIT_OBJECT_0 && GetExitCodeProcess(process, code);
}

// Records the status when it changed; whether it did.
static bool Poll(void)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed;
    bool changed = false;
    LockRecords();
    if (QueryServiceStatusEx(g_Service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof(status),
                             &needed)) {
        status.dwServiceFlags = 0; // not recorded, so no change of its own
        changed = memcmp(&status, &g_Last, sizeof(status)) != 0;
        if (changed) {
            g_Last = status;
            const DWORD pid = status.dwProcessId;
            HANDLE process =
                pid && pid != g_ServicePid ? HoldProcess("service-process", pid) : NULL;
            if (process) {
                if (g_ServiceProcess)
                    CloseHandle(g_ServiceProcess);
                g_ServiceProcess = process;
                g_ServicePid = pid;
            }
            Print("status",
                  "type=0x%lx\tstate=%s\taccepted=0x%lx\texit=%lu\tspecific=%lu\tcheckpoint=%lu\t"
                  "hint=%lu\tpid=%lu",
                  status.dwServiceType, StateName(status.dwCurrentState), status.dwControlsAccepted,
                  status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
                  status.dwWaitHint, pid);
            SetEvent(g_StatusChangedEvent);
        }
    }
    UnlockRecords();
    return changed;
}

static DWORD LastState(void)
{
    LockRecords();
    const DWORD state = g_Last.dwCurrentState;
    UnlockRecords();
    return state;
}

static DWORD WINAPI Recorder(LPVOID parameter)
{
    (void)parameter;
    bool asked = false;
    DWORD changedAt = GetTickCount();
    for (;;) {
        if (Poll()) {
            asked = false;
            changedAt = GetTickCount();
        }
        const bool held = !asked && GetTickCount() - changedAt >= kHeldAfterMs;
        asked |=
            WaitForSingleObject(g_ChangeAskedEvent, held ? kHeldPollMs : kPollMs) == WAIT_OBJECT_0;
    }
}

static void Watch(DWORD pid)
{
    for (int i = 0; i < g_WatchedCount; i++)
        if (g_Watched[i].pid == pid)
            return;
    HANDLE process = g_WatchedCount < kMaxWatched ? HoldProcess("watch", pid) : NULL;
    if (!process)
        return;
    char image[MAX_PATH * 3];
    ImageOf(process, image, sizeof(image));
    Print("watch", "pid=%lu\timage=%s", pid, image);
    g_Watched[g_WatchedCount++] = {pid, process};
}

static Result Start(wchar_t** args)
{
    (void)args;
    Print("start", "");
    SetEvent(g_ChangeAskedEvent);
    if (StartServiceW(g_Service, 0, NULL)) {
        Print("start", "result=ok");
        return Result::Ok;
    }
    Print("start", "result=error\terror=%lu", GetLastError());
    return Result::Failed;
}

static Result Control(wchar_t** args)
{
    DWORD control = (DWORD)wcstoul(args[0], NULL, 0);
    for (DWORD c = SERVICE_CONTROL_STOP; c <= SERVICE_CONTROL_INTERROGATE; c++)
        if (!lstrcmpiW(args[0], kControls[c - 1]))
            control = c;
    char name[64];
    Utf8Value(args[0], name, sizeof(name));
    Print("control", "control=%s", name);
    SetEvent(g_ChangeAskedEvent);
    SERVICE_STATUS status;
    if (ControlService(g_Service, control, &status))
        Print("control", "control=%s\tresult=ok\tstate=%s\tcheckpoint=%lu", name,
              StateName(status.dwCurrentState), status.dwCheckPoint);
    else
        Print("control", "control=%s\tresult=error\terror=%lu", name, GetLastError());
    return Result::Ok;
}

static Result Wait(wchar_t** args)
{
    char name[64];
    Utf8Value(args[0], name, sizeof(name));
    DWORD state = SERVICE_PAUSED;
    while (state && lstrcmpiA(name, kStates[state]))
        state--;
    if (!state)
        return Result::Usage;
    const DWORD deadline = GetTickCount() + wcstoul(args[1], NULL, 10);
    bool reached = LastState() == state;
    for (DWORD now = GetTickCount(); !reached && now < deadline; now = GetTickCount()) {
        WaitForSingleObject(g_StatusChangedEvent, deadline - now);
        reached = LastState() == state;
    }
    Print("wait", "state=%s\tresult=%s", name, reached ? "ok" : "timeout");
    return reached ? Result::Ok : Result::Failed;
}

static Result ServiceExit(wchar_t** args)
{
    LockRecords();
    HANDLE process = g_ServiceProcess;
    const DWORD pid = g_ServicePid;
    UnlockRecords();
    DWORD code;
    if (!process)
        Print("service-exit", "result=none");
    else if (ExitsWithin(process, wcstoul(args[0], NULL, 10), &code))
        Print("service-exit", "pid=%lu\tresult=exited\tcode=%lu", pid, code);
    else
        Print("service-exit", "pid=%lu\tresult=running", pid);
    return Result::Ok;
}

// The program, with its argument when there is one, started with the creation flags given.
static Result Spawn(const wchar_t* path, const wchar_t* argument, DWORD flags)
{
    wchar_t line[1024];
    wsprintfW(line, argument ? L"\"%s\" %s" : L"\"%s\"", path, argument);
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION info;
    startup.cb = sizeof(startup);
    if (!CreateProcessW(path, line, NULL, NULL, FALSE, flags, NULL, NULL, &startup, &info)) {
        const DWORD error = GetLastError();
        char utf8[MAX_PATH * 3];
        Utf8Value(path, utf8, sizeof(utf8));
        Print("spawn", "result=error\terror=%lu\tpath=%s", error, utf8);
        return Result::Failed;
    }
    CloseHandle(info.hThread);
    // Watched before the creation's handle goes, so that a child that ended at once is still there.
    Watch(info.dwProcessId);
    CloseHandle(info.hProcess);
    return Result::Ok;
}

// Watches the process of every record of the stand-in's log (its first field, pid=N), once the
// log has at least COUNT of them.
static Result WatchLog(wchar_t** args)
{
    const int count = _wtoi(args[1]);
    const DWORD deadline = GetTickCount() + wcstoul(args[2], NULL, 10);
    for (;;) {
        // Shared for writing: the programs that write the log may still be appending to it.
        FILE* file = _wfsopen(args[0], L"rb", _SH_DENYNO);
        int lines = 0;
        DWORD pids[kMaxWatched];
        if (file) {
            char line[8192];
            while (lines < kMaxWatched && fgets(line, sizeof(line), file))
                if (!strncmp(line, "pid=", 4))
                    pids[lines++] = strtoul(line + 4, NULL, 10);
            fclose(file);
        }
        if (lines >= count) {
            for (int i = 0; i < lines; i++)
                Watch(pids[i]);
            return Result::Ok;
        }
        if (GetTickCount() >= deadline)
            break;
        Sleep(20);
    }
    Print("watch-log", "result=timeout");
    return Result::Failed;
}

static Result Exits(wchar_t** args)
{
    const DWORD deadline = GetTickCount() + wcstoul(args[0], NULL, 10);
    for (int i = 0; i < g_WatchedCount; i++) {
        const DWORD pid = g_Watched[i].pid;
        const DWORD wait = GetTickCount() < deadline ? deadline - GetTickCount() : 0;
        DWORD code;
        char image[MAX_PATH * 3];
        ImageOf(g_Watched[i].process, image, sizeof(image));
        if (ExitsWithin(g_Watched[i].process, wait, &code))
            Print("process", "pid=%lu\tresult=exited\tcode=%lu\timage=%s", pid, code, image);
        else
            Print("process", "pid=%lu\tresult=running\timage=%s", pid, image);
    }
    return Result::Ok;
}

// The processes whose file name is the one given, letter case aside.
static Result Procs(wchar_t** args)
{
    int count = 0;
    char pids[512] = "";
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        size_t used = 0;
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
            if (_wcsicmp(entry.szExeFile, args[0]) != 0)
                continue;
            count++;
            if (used < sizeof(pids) - 16)
                used += snprintf(pids + used, sizeof(pids) - used, "%s%lu", used ? "," : "",
                                 entry.th32ProcessID);
        }
        CloseHandle(snapshot);
    }
    char name[MAX_PATH * 3];
    Utf8Value(args[0], name, sizeof(name));
    Print("procs", "name=%s\tcount=%d\tpids=%s", name, count, pids);
    return Result::Ok;
}

static const Command kCommands[] = {
    {L"start", 0, "", Start},
    {L"control", 1, "stop|pause|continue|interrogate|N", Control},
    {L"wait", 2, "STATE MS", Wait},
    {L"service-exit", 1, "MS", ServiceExit},
    {L"spawn", 1, "PATH", [](wchar_t** args) { return Spawn(args[0], NULL, 0); }},
    // Without a console, as the service starts its interpreter.
    {L"spawn-detached", 2, "PATH ARGUMENT",
     [](wchar_t** args) { return Spawn(args[0], args[1], DETACHED_PROCESS); }},
    {L"watch", 1, "PID",
     [](wchar_t** args) {
         Watch(wcstoul(args[0], NULL, 10));
         return Result::Ok;
     }},
    {L"watch-log", 3, "FILE COUNT MS", WatchLog},
    {L"exits", 1, "MS", Exits},
    {L"procs", 1, "IMAGE-NAME", Procs},
};
static const char kSynopsis[] = "service-driver SERVICE-NAME COMMAND...";

// The process's exit code once the recorder is held out of its records: the exit ends the
// recorder wherever it is, and ended inside a print it would leave the output locked for the
// runtime's last flush, which then waits for good.
static int EndRecording(int code)
{
    LockRecords();
    return code;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        PrintUsage(kSynopsis, kCommands, ARRAYSIZE(kCommands));
        return 2;
    }
    BeginRecords();
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    g_Service = manager ? OpenServiceW(manager, argv[1], SERVICE_ALL_ACCESS) : NULL;
    if (!g_Service) {
        Print(manager ? "open-service" : "open-manager", "result=error\terror=%lu", GetLastError());
        return 1;
    }
    g_ChangeAskedEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    g_StatusChangedEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    Poll();
    CloseHandle(CreateThread(NULL, 0, Recorder, NULL, 0, NULL));

    const int failures = RunCommands(kSynopsis, kCommands, ARRAYSIZE(kCommands), 2, argc, argv);
    if (failures < 0)
        return EndRecording(2);
    Poll();
    Print("done", "failures=%d", failures);
    return EndRecording(failures ? 1 : 0);
}
