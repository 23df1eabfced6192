#pragma once

#include <windows.h>

#define TH32CS_SNAPHEAPLIST 0x00000001u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPTHREAD 0x00000004u
#define TH32CS_SNAPMODULE 0x00000008u
#define TH32CS_SNAPALL                                                                             \
    (TH32CS_SNAPHEAPLIST | TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE)

typedef struct tagPROCESSENTRY32W {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    uintptr_t th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    long pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W;

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL WINAPI Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry);
