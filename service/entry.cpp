#include "service.h"

int wmain(int argc, wchar_t* argv[], wchar_t* envp[])
{
    (void)argc;
    (void)argv;
    (void)envp;

    OutputDebugStringW(SERVICE_NAME L": Main: Entry");

    SERVICE_TABLE_ENTRYW dispatchTable[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), ServiceMain},
        {NULL, NULL},
    };

    if (StartServiceCtrlDispatcherW(dispatchTable) == FALSE) {
        // Saved before tracing: OutputDebugStringW may overwrite the thread's last error.
        DWORD error = GetLastError();
        OutputDebugStringW(SERVICE_NAME L": Main: StartServiceCtrlDispatcher returned error");
        return static_cast<int>(error);
    }

    OutputDebugStringW(SERVICE_NAME L": Main: Exit");
    return 0;
}
