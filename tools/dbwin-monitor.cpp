// Prints the debug output of every process (OutputDebugString), one line "<pid> <text>" each.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

static const DWORD kBufferSize = 4096;
// A writer that dies half-way never signals DATA_READY; without a re-arm of BUFFER_READY after
// about this long, every later writer would time out on us.
static const DWORD kRearmMs = 300;

struct Channel {
    HANDLE bufferReady;
    HANDLE dataReady;
    HANDLE mapping;
    const char* scope;
};

static bool OpenChannel(Channel* channel, const wchar_t* prefix, const char* scope)
{
    wchar_t name[64];

    // No DACL: writers run under other accounts (services), and each must open all three objects.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};

    wsprintfW(name, L"%sDBWIN_BUFFER_READY", prefix);
    channel->bufferReady = CreateEventW(&sa, FALSE, TRUE, name);
    wsprintfW(name, L"%sDBWIN_DATA_READY", prefix);
    channel->dataReady = CreateEventW(&sa, FALSE, FALSE, name);
    wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
    channel->mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kBufferSize, name);
    channel->scope = scope;
    if (channel->bufferReady && channel->dataReady && channel->mapping)
        return true;

    if (channel->bufferReady)
        CloseHandle(channel->bufferReady);
    if (channel->dataReady)
        CloseHandle(channel->dataReady);
    if (channel->mapping)
        CloseHandle(channel->mapping);
    return false;
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
    // Services live in session 0 on Windows and write to the global names, which need
    // administrator rights; programs of this session (and Wine's services) use the local ones.
    Channel channels[2];
    int count = 0;
    if (OpenChannel(&channels[count], L"Global\\", "global"))
        count++;
    if (OpenChannel(&channels[count], L"", "local"))
        count++;
    if (!count) {
        fprintf(stderr, "dbwin-monitor: cannot create the DBWIN objects, error %lu\n",
                GetLastError());
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
    FILE* copy = NULL;
    if (argc == 2 && !(copy = _wfopen(argv[1], L"ab"))) {
        fprintf(stderr, "dbwin-monitor: cannot open the output file\n");
        return 1;
    }
    fprintf(stderr, "dbwin-monitor: listening on the %s names\n",
            count == 2 ? "global and local" : channels[0].scope);
    fflush(stderr);

    char text[kBufferSize];
    bool held[2] = {false, false};
    for (int i = 0; i < count; i++)
        SetEvent(channels[i].bufferReady);
    for (;;) {
        DWORD which = WaitForMultipleObjects((DWORD)count, dataReady, FALSE, kRearmMs);
        if (which >= WAIT_OBJECT_0 + (DWORD)count) {
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
        which -= WAIT_OBJECT_0;

        const char* view = views[which];
        DWORD pid;
        memcpy(&pid, view, sizeof(pid));
        memcpy(text, view + sizeof(pid), sizeof(text) - sizeof(pid));
        text[sizeof(text) - sizeof(pid) - 1] = 0;
        size_t length = strlen(text);
        while (length && (text[length - 1] == '\n' || text[length - 1] == '\r'))
            text[--length] = 0;

        printf("%lu %s\n", pid, text);
        fflush(stdout);
        if (copy) {
            fprintf(copy, "%lu %s\n", pid, text);
            fflush(copy);
        }
        held[which] = false;
        SetEvent(channels[which].bufferReady);
    }
}
