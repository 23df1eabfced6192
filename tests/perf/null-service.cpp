// A service that does nothing but be a service: the floor the benchmark measures the real one
// against.
//
// It reports the same statuses as the real service (start pending, running, stop pending,
// stopped, with the same checkpoints) and its worker polls the stop event exactly as the real
// worker does, but it launches nothing and terminates nothing. Register it as a service of its
// own process, under any name: it takes its name from the controller (tests/perf/run names it).
#include "contract.h"

#include <windows.h>

static SERVICE_STATUS_HANDLE g_StatusHandle;
static SERVICE_STATUS g_Status;
static HANDLE g_StopEvent;

static void Report(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD checkPoint)
{
    g_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_Status.dwCurrentState = state;
    g_Status.dwControlsAccepted = controlsAccepted;
    g_Status.dwWin32ExitCode = exitCode;
    g_Status.dwCheckPoint = checkPoint;
    SetServiceStatus(g_StatusHandle, &g_Status);
}

static VOID WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP && g_Status.dwCurrentState == SERVICE_RUNNING) {
        Report(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopPendingCheckPoint);
        SetEvent(g_StopEvent);
    }
}

static DWORD WINAPI Worker(LPVOID parameter)
{
    (void)parameter;
    while (WaitForSingleObject(g_StopEvent, 0) != WAIT_OBJECT_0)
        Sleep(kPollIntervalMs);
    return 0;
}

static VOID WINAPI NullServiceMain(DWORD argc, LPWSTR* argv)
{
    // The controller passes the service's name first. A service of its own process may register
    // under any name (the process runs only one), so an empty one does if none was passed.
    g_StatusHandle = RegisterServiceCtrlHandlerW(argc > 0 ? argv[0] : L"", Handler);
    if (!g_StatusHandle)
        return;
    Report(SERVICE_START_PENDING, 0, NO_ERROR, 0);
    g_StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!g_StopEvent) {
        Report(SERVICE_STOPPED, 0, GetLastError(), kStartFailedCheckPoint);
        return;
    }
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0);

    HANDLE worker = CreateThread(NULL, 0, Worker, NULL, 0, NULL);
    if (worker) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    } else {
        Worker(NULL);
    }
    CloseHandle(g_StopEvent);
    Report(SERVICE_STOPPED, 0, NO_ERROR, kStoppedCheckPoint);
}

int wmain(void)
{
    // A service of its own process: the controller starts the table's only service, whatever its
    // name, so the table needs none.
    wchar_t anyName[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {
        {anyName, NullServiceMain},
        {NULL, NULL},
    };
    if (!StartServiceCtrlDispatcherW(table))
        return (int)GetLastError();
    return 0;
}
