#include "service.h"

#include "hosted.h"

HANDLE g_ServiceStopEvent = INVALID_HANDLE_VALUE;

static void ReportFromServiceMain(DWORD state, DWORD controlsAccepted, DWORD exitCode,
                                  DWORD checkPoint)
{
    if (!ReportServiceStatus(state, controlsAccepted, exitCode, checkPoint))
        OutputDebugStringW(SERVICE_NAME L": ServiceMain: SetServiceStatus returned error");
}

// Without a worker thread the service thread does the worker's job itself, so the stop
// event is still closed only after the handler has set it.
static void RunWorkerToCompletion(void)
{
    HANDLE worker = CreateThread(NULL, 0, ServiceWorkerThread, NULL, 0, NULL);
    if (worker == NULL) {
        OutputDebugStringW(SERVICE_NAME L": ServiceMain: CreateThread returned error");
        ServiceWorkerThread(NULL);
        return;
    }

    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Waiting for Worker Thread to complete");
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
}

VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    (void)argc;
    (void)argv;

    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Entry");

    g_StatusHandle = RegisterServiceCtrlHandlerW(SERVICE_NAME, ServiceCtrlHandler);
    if (g_StatusHandle == NULL) {
        OutputDebugStringW(
            SERVICE_NAME L": ServiceMain: RegisterServiceCtrlHandler returned error");
        OutputDebugStringW(SERVICE_NAME L": ServiceMain: Exit");
        return;
    }

    BeginStatusReports();
    ReportFromServiceMain(SERVICE_START_PENDING, 0, NO_ERROR, 0);

    LaunchHostedProgram();

    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Performing Service Start Operations");

    g_ServiceStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_ServiceStopEvent == NULL) {
        // Saved before tracing: OutputDebugStringW may overwrite the thread's last error.
        DWORD error = GetLastError();
        OutputDebugStringW(
            SERVICE_NAME L": ServiceMain: CreateEvent(g_ServiceStopEvent) returned error");
        // The program was launched already; a stopped service must not leave it behind.
        TerminateHostedProcesses();
        ReportFromServiceMain(SERVICE_STOPPED, 0, error, kStartFailedCheckPoint);
        OutputDebugStringW(SERVICE_NAME L": ServiceMain: Exit");
        return;
    }

    ReportFromServiceMain(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0);

    RunWorkerToCompletion();

    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Worker Thread Stop Event signaled");
    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Performing Cleanup Operations");

    CloseHandle(g_ServiceStopEvent);

    ReportFromServiceMain(SERVICE_STOPPED, 0, NO_ERROR, kStoppedCheckPoint);

    OutputDebugStringW(SERVICE_NAME L": ServiceMain: Exit");
}

VOID WINAPI ServiceCtrlHandler(DWORD control)
{
    OutputDebugStringW(SERVICE_NAME L": ServiceCtrlHandler: Entry");

    if (control == SERVICE_CONTROL_STOP) {
        OutputDebugStringW(SERVICE_NAME L": ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");

        // Only a running service has a stop event to set; once stop pending is written,
        // later stop requests fall through here.
        if (CurrentState() == SERVICE_RUNNING) {
            TerminateHostedProcesses();
            if (!ReportServiceStatus(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopPendingCheckPoint))
                OutputDebugStringW(
                    SERVICE_NAME L": ServiceCtrlHandler: SetServiceStatus returned error");
            SetEvent(g_ServiceStopEvent);
        }
    }

    OutputDebugStringW(SERVICE_NAME L": ServiceCtrlHandler: Exit");
}

DWORD WINAPI ServiceWorkerThread(LPVOID parameter)
{
    (void)parameter;

    OutputDebugStringW(SERVICE_NAME L": ServiceWorkerThread: Entry");

    while (WaitForSingleObject(g_ServiceStopEvent, 0) != WAIT_OBJECT_0)
        Sleep(kPollIntervalMs);

    OutputDebugStringW(SERVICE_NAME L": ServiceWorkerThread: Exit");
    return ERROR_SUCCESS;
}
