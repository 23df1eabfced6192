#include "hosted.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string.h>
#include <wchar.h>

#include "contract.h"

// The path unquoted: "start" would take a quoted first argument for the window's title
// (cmake/contract.cmake refuses a path that would need quotes).
static const wchar_t kLaunchCommand[] = L"start " HOSTED_PROGRAM_PATH L" " HOSTED_PROGRAM_ARGUMENTS;
static const wchar_t kInterpreterFileName[] = L"\\cmd.exe";
static const wchar_t kInterpreterSwitch[] = L"\" /c ";
static const UINT kTerminatedExitCode = 0;
static const int kSnapshotAttempts = 5;
// A healthy "start" ends the interpreter within milliseconds. A program that Windows refuses to
// run leaves it waiting on the shell's error box, which nobody can close in a service's session;
// the start then goes on after this long, well within the 30 s an installer gives a service to
// report running.
static const DWORD kInterpreterWaitMs = 10000;
static const UINT kAbandonedInterpreterExitCode = ERROR_TIMEOUT;

// Without the program, "start" would only wait on the shell's "cannot find" box.
static bool HostedProgramExists(void)
{
    DWORD attributes = GetFileAttributesW(HOSTED_PROGRAM_PATH);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The interpreter of the system directory: what runs under the service's account is not for an
// environment variable such as ComSpec to choose.
static bool FindInterpreter(wchar_t (&path)[MAX_PATH])
{
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + ARRAYSIZE(kInterpreterFileName) > MAX_PATH)
        return false;
    wmemcpy(path + length, kInterpreterFileName, ARRAYSIZE(kInterpreterFileName));
    return true;
}

// "<interpreter>" /c <launch command>, the command line the runtime library's system() gives it.
static void BuildCommandLine(const wchar_t* interpreter, wchar_t* commandLine)
{
    const size_t length = wcslen(interpreter);
    const size_t switchLength = ARRAYSIZE(kInterpreterSwitch) - 1;
    wchar_t* next = commandLine;
    *next++ = L'"';
    next = wmemcpy(next, interpreter, length) + length;
    next = wmemcpy(next, kInterpreterSwitch, switchLength) + switchLength;
    wmemcpy(next, kLaunchCommand, ARRAYSIZE(kLaunchCommand));
}

void LaunchHostedProgram(void)
{
    if (!HostedProgramExists())
        return;
    wchar_t interpreter[MAX_PATH];
    if (!FindInterpreter(interpreter))
        return;
    wchar_t commandLine[1 + MAX_PATH + ARRAYSIZE(kInterpreterSwitch) + ARRAYSIZE(kLaunchCommand)];
    BuildCommandLine(interpreter, commandLine);

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION interpreterProcess;
    // No console for the interpreter, whose output nobody reads: "start" gives a console program
    // a console of its own in any case. No handle of the service is inherited.
    if (!CreateProcessW(interpreter, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                        &startup, &interpreterProcess))
        return;
    CloseHandle(interpreterProcess.hThread);
    // Whether the program started is not checked; only an interpreter that does not end is.
    if (WaitForSingleObject(interpreterProcess.hProcess, kInterpreterWaitMs) != WAIT_OBJECT_0)
        TerminateProcess(interpreterProcess.hProcess, kAbandonedInterpreterExitCode);
    CloseHandle(interpreterProcess.hProcess);
}

static void TerminateProcessById(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process == NULL)
        return;
    TerminateProcess(process, kTerminatedExitCode);
    CloseHandle(process);
}

// A snapshot that takes in this process's module list fails with ERROR_BAD_LENGTH while a module
// of the process loads or unloads; a new try usually succeeds. Other errors would only repeat.
static HANDLE TakeSnapshot(void)
{
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kSnapshotAttempts && snapshot == INVALID_HANDLE_VALUE;
         ++attempt) {
        snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
        if (snapshot == INVALID_HANDLE_VALUE && GetLastError() != ERROR_BAD_LENGTH)
            break;
    }
    return snapshot;
}

// A failed first read is not retried: the snapshot is a fixed copy, and the next stop
// request takes a new one.
void TerminateHostedProcesses(void)
{
    HANDLE snapshot = TakeSnapshot();
    if (snapshot == INVALID_HANDLE_VALUE)
        return;

    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);

    if (Process32FirstW(snapshot, &entry)) {
        do {
            if (_wcsicmp(entry.szExeFile, HOSTED_IMAGE_NAME) == 0)
                TerminateProcessById(entry.th32ProcessID);
        } while (Process32NextW(snapshot, &entry));
    }

    CloseHandle(snapshot);
}
