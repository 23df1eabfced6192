// Drives one service through the service controller and records every status it reports.
//
// A recorder thread polls QueryServiceStatusEx about once a millisecond while a change may come
// (in a pending state, and after the driver's own start or control until the status changes), so
// checkpoint and exit-code changes are seen as well as state changes (a state-change notification
// would miss them); while the state holds (running, stopped, paused) and the driver has asked for
// nothing, every 20 ms: each query is a call to the service controller, which costs it too.
// Everything is printed as one record a line: TAB-separated KEY=VALUE fields, first t= (the
// milliseconds since the driver started) and event=; tests/e2e/records.py documents each event.
#include "program-support.h"

#include <windows.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const int kMaxWatched = 64;
// More process ids than the 512 bytes of a procs record hold.
static const int kMostListedPids = 256;

// Read and changed under LockRecords, so that two pollers print their answers in order.
static SC_HANDLE g_Service;
static SERVICE_STATUS_PROCESS g_Last;
static bool g_HaveStatus;
static HANDLE g_ServiceProcess;
static DWORD g_ServicePid;
// Set before a start or control and cleared by the next status that differs; the event wakes the
// recorder from a quiet wait.
static bool g_ChangeAsked;
static HANDLE g_ChangeAskedEvent;
static const DWORD kQuietPollMs = 20;

static HeldProcess g_Watched[kMaxWatched];
static int g_WatchedCount;

static const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
    }
}

static DWORD StateFromName(const wchar_t* name)
{
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; state++) {
        wchar_t wide[32];
        MultiByteToWideChar(CP_ACP, 0, StateName(state), -1, wide, 32);
        if (!lstrcmpiW(name, wide))
            return state;
    }
    return 0;
}

static DWORD ControlFromName(const wchar_t* name)
{
    if (!lstrcmpiW(name, L"stop"))
        return SERVICE_CONTROL_STOP;
    if (!lstrcmpiW(name, L"pause"))
        return SERVICE_CONTROL_PAUSE;
    if (!lstrcmpiW(name, L"continue"))
        return SERVICE_CONTROL_CONTINUE;
    if (!lstrcmpiW(name, L"interrogate"))
        return SERVICE_CONTROL_INTERROGATE;
    if (!lstrcmpiW(name, L"paramchange"))
        return SERVICE_CONTROL_PARAMCHANGE;
    return (DWORD)wcstoul(name, NULL, 0);
}

static void TrackServiceProcess(DWORD pid)
{
    if (!pid || pid == g_ServicePid)
        return;
    HANDLE process = HoldProcess(pid);
    if (!process) {
        Print("service-process", "pid=%lu\tresult=error\terror=%lu", pid, GetLastError());
        return;
    }
    if (g_ServiceProcess)
        CloseHandle(g_ServiceProcess);
    g_ServiceProcess = process;
    g_ServicePid = pid;
}

static bool SameStatus(const SERVICE_STATUS_PROCESS* a, const SERVICE_STATUS_PROCESS* b)
{
    return a->dwServiceType == b->dwServiceType && a->dwCurrentState == b->dwCurrentState &&
           a->dwControlsAccepted == b->dwControlsAccepted &&
           a->dwWin32ExitCode == b->dwWin32ExitCode &&
           a->dwServiceSpecificExitCode == b->dwServiceSpecificExitCode &&
           a->dwCheckPoint == b->dwCheckPoint && a->dwWaitHint == b->dwWaitHint &&
           a->dwProcessId == b->dwProcessId;
}

static void Poll(void)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed;

    LockRecords();
    if (!QueryServiceStatusEx(g_Service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof(status),
                              &needed)) {
        UnlockRecords();
        return;
    }
    if (!g_HaveStatus || !SameStatus(&status, &g_Last)) {
        g_Last = status;
        g_HaveStatus = true;
        g_ChangeAsked = false;
        TrackServiceProcess(status.dwProcessId);
        Print("status",
              "type=0x%lx\tstate=%s\taccepted=0x%lx\texit=%lu\tspecific=%lu\tcheckpoint=%lu\t"
              "hint=%lu\tpid=%lu",
              status.dwServiceType, StateName(status.dwCurrentState), status.dwControlsAccepted,
              status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
              status.dwWaitHint, status.dwProcessId);
    }
    UnlockRecords();
}

// Whether no change is on its way: a state that holds, and nothing asked since it was seen.
static bool Quiet(void)
{
    LockRecords();
    const DWORD state = g_Last.dwCurrentState;
    const bool quiet =
        g_HaveStatus && !g_ChangeAsked &&
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED || state == SERVICE_PAUSED);
    UnlockRecords();
    return quiet;
}

static DWORD WINAPI Recorder(LPVOID parameter)
{
    (void)parameter;
    for (;;) {
        Poll();
        WaitForSingleObject(g_ChangeAskedEvent, Quiet() ? kQuietPollMs : 1);
    }
}

static void AskChange(void)
{
    LockRecords();
    g_ChangeAsked = true;
    UnlockRecords();
    SetEvent(g_ChangeAskedEvent);
}

static void Watch(DWORD pid)
{
    for (int i = 0; i < g_WatchedCount; i++)
        if (g_Watched[i].pid == pid)
            return;
    if (g_WatchedCount == kMaxWatched)
        return;
    HANDLE process = HoldProcess(pid);
    if (!process) {
        Print("watch", "pid=%lu\tresult=error\terror=%lu", pid, GetLastError());
        return;
    }
    char image[MAX_PATH * 3];
    ImageOf(process, image, sizeof(image));
    Print("watch", "pid=%lu\timage=%s", pid, image);
    g_Watched[g_WatchedCount].pid = pid;
    g_Watched[g_WatchedCount].process = process;
    g_WatchedCount++;
}

// Watches the process of every record of the stand-in's log (its first field, pid=N), once the
// log has at least `count` of them.
static bool WatchLog(const wchar_t* path, int count, DWORD deadline)
{
    for (;;) {
        // Shared for writing: the programs that write the log may still be appending to it.
        FILE* file = _wfsopen(path, L"rb", _SH_DENYNO);
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
            return true;
        }
        if (GetTickCount() >= deadline)
            return false;
        Sleep(20);
    }
}

static void ReportExits(DWORD deadline)
{
    for (int i = 0; i < g_WatchedCount; i++) {
        const HeldProcess* w = &g_Watched[i];
        DWORD wait = GetTickCount() < deadline ? deadline - GetTickCount() : 0;
        DWORD code;
        char image[MAX_PATH * 3];
        ImageOf(w->process, image, sizeof(image));
        if (ExitsWithin(w->process, wait, &code))
            Print("process", "pid=%lu\tresult=exited\tcode=%lu\timage=%s", w->pid, code, image);
        else
            Print("process", "pid=%lu\tresult=running\timage=%s", w->pid, image);
    }
}

// --- The commands: each gets its arguments, and NULL past them; the driver counts the failed ones
// and stops at a usage error.

static Result Start(wchar_t** args)
{
    (void)args;
    Print("start", "");
    AskChange();
    if (StartServiceW(g_Service, 0, NULL)) {
        Print("start", "result=ok");
        return Result::Ok;
    }
    Print("start", "result=error\terror=%lu", GetLastError());
    return Result::Failed;
}

static Result Control(wchar_t** args)
{
    SERVICE_STATUS status;
    char name[64];
    Utf8Value(args[0], name, sizeof(name));
    DWORD control = ControlFromName(args[0]);
    Print("control", "control=%s", name);
    AskChange();
    if (ControlService(g_Service, control, &status))
        Print("control", "control=%s\tresult=ok\tstate=%s\tcheckpoint=%lu", name,
              StateName(status.dwCurrentState), status.dwCheckPoint);
    else
        Print("control", "control=%s\tresult=error\terror=%lu", name, GetLastError());
    return Result::Ok;
}

static Result Wait(wchar_t** args)
{
    DWORD state = StateFromName(args[0]);
    DWORD deadline = GetTickCount() + wcstoul(args[1], NULL, 10);
    char name[64];
    Utf8Value(args[0], name, sizeof(name));
    bool reached = false;
    for (;;) {
        Poll();
        LockRecords();
        reached = g_HaveStatus && g_Last.dwCurrentState == state;
        UnlockRecords();
        if (reached || GetTickCount() >= deadline)
            break;
        Sleep(1);
    }
    Print("wait", "state=%s\tresult=%s", name, reached ? "ok" : "timeout");
    return reached ? Result::Ok : Result::Failed;
}

static Result ServiceExit(wchar_t** args)
{
    DWORD wait = wcstoul(args[0], NULL, 10);
    LockRecords();
    HANDLE process = g_ServiceProcess;
    DWORD pid = g_ServicePid;
    UnlockRecords();
    DWORD code;
    if (!process)
        Print("service-exit", "result=none");
    else if (ExitsWithin(process, wait, &code))
        Print("service-exit", "pid=%lu\tresult=exited\tcode=%lu", pid, code);
    else
        Print("service-exit", "pid=%lu\tresult=running", pid);
    return Result::Ok;
}

// The program, and its one argument when there is one, with the creation flags given.
static Result SpawnWith(wchar_t** args, DWORD flags)
{
    wchar_t line[1024];
    const wchar_t* path = args[0];
    if (args[1])
        wsprintfW(line, L"\"%s\" %s", path, args[1]);
    else
        wsprintfW(line, L"\"%s\"", path);
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

static Result Spawn(wchar_t** args)
{
    return SpawnWith(args, 0);
}

// Without a console, as the service starts its interpreter.
static Result SpawnDetached(wchar_t** args)
{
    return SpawnWith(args, DETACHED_PROCESS);
}

// The process's exit code once the recorder is held out of its records: the exit ends the
// recorder wherever it is, and ended inside a print it would leave the output locked for the
// runtime's last flush, which then waits for good.
static int EndRecording(int code)
{
    LockRecords();
    return code;
}

static Result WatchPid(wchar_t** args)
{
    Watch(wcstoul(args[0], NULL, 10));
    return Result::Ok;
}

static Result WatchLogLines(wchar_t** args)
{
    DWORD deadline = GetTickCount() + wcstoul(args[2], NULL, 10);
    if (WatchLog(args[0], _wtoi(args[1]), deadline))
        return Result::Ok;
    Print("watch-log", "result=timeout");
    return Result::Failed;
}

static Result Exits(wchar_t** args)
{
    ReportExits(GetTickCount() + wcstoul(args[0], NULL, 10));
    return Result::Ok;
}

static Result Procs(wchar_t** args)
{
    DWORD found[kMostListedPids];
    int total = FindProcesses(args[0], found, kMostListedPids);
    char pids[512] = "";
    for (int i = 0; i < total && i < kMostListedPids; i++) {
        size_t used = strlen(pids);
        if (used < sizeof(pids) - 16)
            snprintf(pids + used, sizeof(pids) - used, "%s%lu", used ? "," : "", found[i]);
    }
    char name[MAX_PATH * 3];
    Utf8Value(args[0], name, sizeof(name));
    Print("procs", "name=%s\tcount=%d\tpids=%s", name, total, pids);
    return Result::Ok;
}

static const Command kCommands[] = {
    {L"start", 0, false, Start},
    {L"control", 1, false, Control},
    {L"wait", 2, false, Wait},
    {L"hold", 1, false, Hold},
    {L"service-exit", 1, false, ServiceExit},
    {L"spawn", 1, true, Spawn},
    {L"spawn-detached", 1, true, SpawnDetached},
    {L"watch", 1, false, WatchPid},
    {L"watch-log", 3, false, WatchLogLines},
    {L"exits", 1, false, Exits},
    {L"procs", 1, false, Procs},
    {L"mark", 1, false, Mark},
};

static void Usage(void)
{
    fprintf(stderr,
            "usage: service-driver SERVICE-NAME COMMAND...\n"
            "Runs the commands in order while printing every status of the service:\n"
            "  start                      StartService\n"
            "  control stop|pause|continue|interrogate|paramchange|N\n"
            "  wait STATE MS              until the service is in STATE (e.g. RUNNING)\n"
            "  hold MS                    go on recording for MS milliseconds\n"
            "  service-exit MS            exit code of the last service process once it ends\n"
            "  spawn PATH [ARGUMENT]      start a program and watch it\n"
            "  spawn-detached PATH [ARGUMENT]\n"
            "                             the same without a console, as the service starts cmd\n"
            "  watch PID                  watch a process\n"
            "  watch-log FILE COUNT MS    watch the processes of the stand-in's log FILE\n"
            "  exits MS                   exit codes of the watched processes\n"
            "  procs IMAGE-NAME           processes with that file name (letter case aside)\n"
            "  mark TEXT                  print TEXT with a time stamp\n"
            "The debug-output monitor's writers are debug-writer's.\n");
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        Usage();
        return 2;
    }
    BeginRecords();

    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) {
        Print("open-manager", "result=error\terror=%lu", GetLastError());
        return 1;
    }
    g_Service = OpenServiceW(manager, argv[1], SERVICE_ALL_ACCESS);
    if (!g_Service) {
        Print("open-service", "result=error\terror=%lu", GetLastError());
        return 1;
    }
    Poll();
    g_ChangeAskedEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, Recorder, NULL, 0, NULL));

    const int failures = RunCommands(kCommands, ARRAYSIZE(kCommands), 2, argc, argv);
    if (failures < 0) {
        Usage();
        return EndRecording(2);
    }
    Poll();
    Print("done", "failures=%d", failures);
    return EndRecording(failures ? 1 : 0);
}
