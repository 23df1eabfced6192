#pragma once

#include <windows.h>

#define TH32CS_SNAPPROCESS 0x00000002u
// The heap lists, processes, threads and modules.
#define TH32CS_SNAPALL 0x0000000Fu

// Only the fields the service reads or sets.
typedef struct tagPROCESSENTRY32W {
    DWORD dwSize, th32ProcessID;
    wchar_t szExeFile[MAX_PATH];
} PROCESSENTRY32W;

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL WINAPI Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry);
