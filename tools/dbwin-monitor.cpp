// Prints the debug output of every process (OutputDebugString), one line "<pid> <text>" each.
#include <windows.h>
#include <sddl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

static const DWORD kBufferSize = 4096;
// A writer that dies half-way never signals DATA_READY; without a re-arm of BUFFER_READY after
// about this long, every later writer would time out on us.
static const DWORD kRearmMs = 300;

// Writers run under other accounts (services): everyone may wait on the buffer, fill it and
// signal it (SYNCHRONIZE | EVENT_MODIFY_STATE; map read and write), and only SYSTEM and
// Administrators may do more, such as change the objects' security.
static const wchar_t kEventSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100002;;;WD)";
static const wchar_t kBufferSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00000006;;;WD)";

struct Channel {
    HANDLE bufferReady;
    HANDLE dataReady;
    HANDLE mapping;
    const char* scope;
};

enum class Opened { Listening, Taken, Failed };

struct Security {
    SECURITY_ATTRIBUTES events;
    SECURITY_ATTRIBUTES buffer;
};

static void CloseChannel(Channel* channel)
{
    if (channel->bufferReady)
        CloseHandle(channel->bufferReady);
    if (channel->dataReady)
        CloseHandle(channel->dataReady);
    if (channel->mapping)
        CloseHandle(channel->mapping);
}

// The buffer-ready event exists already only when another monitor created it: then the names
// are left to that monitor, since two listeners would each get a share of the messages.
static Opened OpenChannel(Channel* channel, const wchar_t* prefix, const char* scope,
                          Security* security)
{
    wchar_t name[64];
    channel->scope = scope;
    channel->dataReady = NULL;
    channel->mapping = NULL;

    wsprintfW(name, L"%sDBWIN_BUFFER_READY", prefix);
    channel->bufferReady = CreateEventW(&security->events, FALSE, TRUE, name);
    if (!channel->bufferReady)
        return Opened::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseChannel(channel);
        return Opened::Taken;
    }
    wsprintfW(name, L"%sDBWIN_DATA_READY", prefix);
    channel->dataReady = CreateEventW(&security->events, FALSE, FALSE, name);
    if (channel->dataReady) {
        wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
        channel->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &security->buffer,
                                              PAGE_READWRITE, 0, kBufferSize, name);
        if (channel->mapping)
            return Opened::Listening;
    }
    DWORD error = GetLastError();
    CloseChannel(channel);
    SetLastError(error);
    return Opened::Failed;
}

static bool MakeSecurity(SECURITY_ATTRIBUTES* attributes, const wchar_t* sddl)
{
    attributes->nLength = sizeof(*attributes);
    attributes->bInheritHandle = FALSE;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
               sddl, SDDL_REVISION_1, &attributes->lpSecurityDescriptor, NULL) != FALSE;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc > 2 || (argc == 2 && (!lstrcmpW(argv[1], L"-h") || !lstrcmpW(argv[1], L"/?")))) {
        fprintf(stderr,
                "usage: dbwin-monitor [output-file]\n"
                "Prints \"<pid> <text>\" for every OutputDebugString message, also to\n"
                "output-file when given. Run as administrator to see services on Windows.\n");
        return 2;
    }

    _setmode(_fileno(stdout), _O_BINARY);
    Security security;
    if (!MakeSecurity(&security.events, kEventSecurity) ||
        !MakeSecurity(&security.buffer, kBufferSecurity)) {
        fprintf(stderr, "dbwin-monitor: cannot build the security descriptors, error %lu\n",
                GetLastError());
        return 1;
    }

    // Services live in session 0 on Windows and write to the global names, which need
    // administrator rights; programs of this session (and Wine's services) use the local ones.
    // In session 0 itself the local names are the global names, so there is one channel.
    DWORD session = 0;
    bool sessionZero = ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
    const wchar_t* prefixes[2] = {L"Global\\", L""};
    const char* scopes[2] = {"global", "local"};
    Channel channels[2];
    int count = 0;
    int taken = 0;
    DWORD error = NO_ERROR;
    for (int i = 0; i < (sessionZero ? 1 : 2); i++) {
        switch (OpenChannel(&channels[count], prefixes[i], scopes[i], &security)) {
        case Opened::Listening: count++; break;
        case Opened::Taken:
            fprintf(stderr,
                    "dbwin-monitor: another debug-output monitor listens on the %s names; "
                    "leaving them to it\n",
                    scopes[i]);
            taken++;
            break;
        case Opened::Failed: error = GetLastError(); break;
        }
    }
    LocalFree(security.events.lpSecurityDescriptor);
    LocalFree(security.buffer.lpSecurityDescriptor);
    if (!count) {
        if (taken)
            fprintf(stderr, "dbwin-monitor: nothing left to listen on; close the other monitor\n");
        else
            fprintf(stderr, "dbwin-monitor: cannot create the DBWIN objects, error %lu\n", error);
        return 1;
    }

    HANDLE dataReady[2];
    const char* views[2];
    for (int i = 0; i < count; i++) {
        dataReady[i] = channels[i].dataReady;
        views[i] =
            static_cast<const char*>(MapViewOfFile(channels[i].mapping, FILE_MAP_READ, 0, 0, 0));
        if (!views[i]) {
            fprintf(stderr, "dbwin-monitor: cannot map the buffer, error %lu\n", GetLastError());
            return 1;
        }
    }
    // Opened as fopen's "ab" would: every write goes to the end, and others may read meanwhile.
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (argc == 2) {
        copy = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (copy == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "dbwin-monitor: cannot open the output file, error %lu\n",
                    GetLastError());
            return 1;
        }
    }
    if (sessionZero)
        fprintf(stderr, "dbwin-monitor: listening on the global names (in session 0 they are "
                        "also the local ones)\n");
    else
        fprintf(stderr, "dbwin-monitor: listening on the %s names\n",
                count == 2 ? "global and local" : channels[0].scope);
    fflush(stderr);

    char text[kBufferSize];
    char line[kBufferSize + 16]; // the longest text with a process id, a space and a newline
    bool held[2] = {false, false};
    for (int i = 0; i < count; i++)
        SetEvent(channels[i].bufferReady);
    for (;;) {
        DWORD which = WaitForMultipleObjects((DWORD)count, dataReady, FALSE, kRearmMs);
        if (which == WAIT_TIMEOUT) {
            // A buffer taken by a writer and still not filled a whole period later belongs to a
            // writer that ended half-way: give it to the next one.
            for (int i = 0; i < count; i++) {
                if (WaitForSingleObject(channels[i].bufferReady, 0) == WAIT_OBJECT_0 || held[i]) {
                    SetEvent(channels[i].bufferReady);
                    held[i] = false;
                } else {
                    held[i] = true;
                }
            }
            continue;
        }
        // Waiting again after a failed wait would only fail again, at full speed.
        if (which >= WAIT_OBJECT_0 + (DWORD)count) {
            fprintf(stderr, "dbwin-monitor: waiting for messages failed, error %lu\n",
                    GetLastError());
            return 1;
        }
        which -= WAIT_OBJECT_0;

        const char* view = views[which];
        DWORD pid;
        memcpy(&pid, view, sizeof(pid));
        memcpy(text, view + sizeof(pid), sizeof(text) - sizeof(pid));
        text[sizeof(text) - sizeof(pid) - 1] = 0;
        size_t length = strlen(text);
        while (length && (text[length - 1] == '\n' || text[length - 1] == '\r'))
            text[--length] = 0;

        int size = snprintf(line, sizeof(line), "%lu %s\n", pid, text);
        fwrite(line, 1, (size_t)size, stdout);
        fflush(stdout);
        if (copy != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(copy, line, (DWORD)size, &written, NULL);
        }
        held[which] = false;
        SetEvent(channels[which].bufferReady);
    }
}
