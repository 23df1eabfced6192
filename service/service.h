#pragma once

#include "contract.h"

#include <windows.h>

extern SERVICE_STATUS g_ServiceStatus;
extern SERVICE_STATUS_HANDLE g_StatusHandle;
extern HANDLE g_ServiceStopEvent;

// Process entry: hands the main thread to the service control dispatcher.
int wmain(int argc, wchar_t* argv[], wchar_t* envp[]);

// Service lifecycle.
VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
VOID WINAPI ServiceCtrlHandler(DWORD control);
DWORD WINAPI ServiceWorkerThread(LPVOID parameter);

// Status reports to the service controller.
void BeginStatusReports(void);
bool ReportServiceStatus(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD checkPoint);
DWORD CurrentState(void);
