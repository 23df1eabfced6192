#include "hosted.h"

#include <windows.h>
#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const char kLaunchCommand[] = "start c:\\windows\\Zentorvik.exe -s";
static const wchar_t kHostedProgramPath[] = L"c:\\windows\\Zentorvik.exe";
static const wchar_t kHostedImageName[] = L"Zentorvik.exe";
static const UINT kTerminatedExitCode = 0;
static const int kSnapshotAttempts = 5;

void LaunchHostedProgram(void)
{
    // Without the program, "start" waits on a "cannot find" message box that nobody can close
    // in a service's session, and the start would hang: the launch is skipped then.
    DWORD attributes = GetFileAttributesW(kHostedProgramPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return;
    // "start" returns as soon as the program runs, so the interpreter ends at once.
    // Whether the program started is not checked.
    system(kLaunchCommand);
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
            if (_wcsicmp(entry.szExeFile, kHostedImageName) == 0)
                TerminateProcessById(entry.th32ProcessID);
        } while (Process32NextW(snapshot, &entry));
    }

    CloseHandle(snapshot);
}
