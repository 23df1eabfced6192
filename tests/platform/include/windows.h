#pragma once
// The Win32 declarations the service uses, for the Linux build against the simulated platform.

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define WINAPI
#define VOID void
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

#define MAX_PATH 260
#define ARRAYSIZE(array) (sizeof(array) / sizeof((array)[0]))
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u

#define NO_ERROR 0u
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_BAD_LENGTH 24u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INVALID_NAME 123u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_SERVICE_NOT_IN_EXE 1083u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u

#define PROCESS_TERMINATE 0x0001u
#define DETACHED_PROCESS 0x00000008u

#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_CONTROL_INTERROGATE 4u
#define SERVICE_CONTROL_SHUTDOWN 5u

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType, dwCurrentState, dwControlsAccepted, dwWin32ExitCode,
        dwServiceSpecificExitCode, dwCheckPoint, dwWaitHint;
} SERVICE_STATUS;

typedef VOID(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef VOID(WINAPI* LPHANDLER_FUNCTION)(DWORD control);

typedef struct _SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW;

// Only the fields the service sets.
typedef struct _STARTUPINFOW {
    DWORD cb;
} STARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess, hThread;
    DWORD dwProcessId, dwThreadId;
} PROCESS_INFORMATION;

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// The security attributes are never given: a null pointer of any type.
HANDLE WINAPI CreateEventW(void* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE WINAPI CreateThread(void* attributes, size_t stackSize, DWORD(WINAPI* routine)(LPVOID),
                           LPVOID parameter, DWORD flags, DWORD* threadId);
VOID WINAPI Sleep(DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI GetLastError(void);

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, void*, void*,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                           LPCWSTR currentDirectory, STARTUPINFOW*, PROCESS_INFORMATION*);
HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
DWORD WINAPI GetFileAttributesW(LPCWSTR path);
UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);
VOID WINAPI OutputDebugStringW(LPCWSTR text);

// Runtime library: declared by the Windows C headers, absent from glibc.
int _wcsicmp(const wchar_t* a, const wchar_t* b);
