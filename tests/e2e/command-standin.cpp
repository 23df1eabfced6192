// Stands in for a Windows command that Wine only stubs (whoami, icacls) in the deployment
// scenario, installed under that command's name in a folder ahead of the system's on the PATH.
//
// Appends its arguments as one UTF-8 line to "<its own path>.log", prints the value of the
// environment variable ZT_<NAME>_OUTPUT and exits with ZT_<NAME>_EXIT (0 when unset), where
// <NAME> is its file name without extension, in capitals.
#include <stdlib.h>
#include <windows.h>

// The command line after the program name, split the way the C runtime splits it.
static const wchar_t* Arguments(const wchar_t* line)
{
    bool quoted = false;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line)
        if (*line == L'"')
            quoted = !quoted;
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

static void Write(HANDLE file, const wchar_t* text)
{
    static char bytes[16384];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), NULL, NULL);
    DWORD written;
    if (n > 1)
        WriteFile(file, bytes, (DWORD)(n - 1), &written, NULL);
}

int wmain(void)
{
    static wchar_t path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return 99;

    wchar_t name[64];
    const wchar_t* start = path + length;
    while (start > path && start[-1] != L'\\')
        --start;
    int used = 0;
    for (; start[used] && start[used] != L'.' && used < 63; ++used)
        name[used] = start[used];
    name[used] = 0;
    CharUpperW(name);

    lstrcatW(path, L".log");
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log != INVALID_HANDLE_VALUE) {
        Write(log, Arguments(GetCommandLineW()));
        Write(log, L"\r\n");
        CloseHandle(log);
    }

    wchar_t variable[96];
    static wchar_t value[4096];
    wsprintfW(variable, L"ZT_%s_OUTPUT", name);
    if (GetEnvironmentVariableW(variable, value, 4096 - 2) < 4096 - 2 && value[0]) {
        lstrcatW(value, L"\r\n");
        Write(GetStdHandle(STD_OUTPUT_HANDLE), value);
    }
    wsprintfW(variable, L"ZT_%s_EXIT", name);
    if (GetEnvironmentVariableW(variable, value, 16) && value[0])
        return (int)wcstoul(value, NULL, 10);
    return 0;
}
