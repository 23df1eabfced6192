#include "service.h"

SERVICE_STATUS g_ServiceStatus;
SERVICE_STATUS_HANDLE g_StatusHandle;

void BeginStatusReports(void)
{
    g_ServiceStatus = SERVICE_STATUS{};
    g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_ServiceStatus.dwServiceSpecificExitCode = 0;
    g_ServiceStatus.dwWaitHint = 0;
}

// The record keeps the values written here even when the controller cannot be told:
// the stop handler must see the state the service has moved to.
bool ReportServiceStatus(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD checkPoint)
{
    g_ServiceStatus.dwControlsAccepted = controlsAccepted;
    g_ServiceStatus.dwCurrentState = state;
    g_ServiceStatus.dwWin32ExitCode = exitCode;
    g_ServiceStatus.dwCheckPoint = checkPoint;
    return SetServiceStatus(g_StatusHandle, &g_ServiceStatus) != FALSE;
}

DWORD CurrentState(void)
{
    return g_ServiceStatus.dwCurrentState;
}
