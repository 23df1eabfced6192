// Prints the debug output of every process (OutputDebugString), one line "<pid> <text>" each.
//
// Its output never holds up a writer. The main thread takes each message, hands the buffer back
// at once and queues the line; a second thread prints the queue. Were the buffer handed back only
// after printing, a paused console or a stalled pipe would make every process that traces wait its
// full time-out per message. When the output stays blocked until the queue is full, messages are
// dropped and counted, and a line in the output says how many once it flows again. That part is
// in monitor-core.cpp; this file holds the objects, their security and the waits.
#include "monitor-core.h"

#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

// A writer that dies half-way never signals DATA_READY; a channel without a message for this
// long gets its buffer checked (Rearm), or every later writer would time out on us.
static const DWORD kRearmMs = 300;
// How long a writer waits for the buffer, about; its handles keep the names alive meanwhile.
static const unsigned long kWriterTimeoutS = 10;

// Writers run under other accounts (services): everyone may wait on the buffer, fill it and
// signal it (SYNCHRONIZE | EVENT_MODIFY_STATE; map read and write), and only SYSTEM and
// Administrators may do more, such as change the objects' security.
static const wchar_t kEventSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100002;;;WD)";
static const wchar_t kBufferSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00000006;;;WD)";
// The writers' mutex, when it is the monitor that creates it: everyone may wait for it, release
// it and read its security (SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE, which is also
// MUTEX_MODIFY_STATE). Writers may open it asking for all three; one refused would write without
// the mutex, and Rearm could then hand the buffer out while it fills it.
static const wchar_t kMutexSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00120001;;;WD)";

struct Channel {
    HANDLE bufferReady;
    HANDLE dataReady;
    HANDLE mapping;
    HANDLE writers; // "DBWinMutex", see Rearm
    char* view;
    const char* scope;
    const char* squatted; // the name another program created first
    DWORD quietSince;     // when a message was last taken or the buffer last checked
};

enum class Opened { Listening, Taken, Blocked, Squatted, Failed };

struct Security {
    SECURITY_ATTRIBUTES events;
    SECURITY_ATTRIBUTES buffer;
    SECURITY_ATTRIBUTES mutex;
};

static HANDLE g_Queued; // set when the printer has something new to write
static HANDLE g_Output;
static HANDLE g_Copy = INVALID_HANDLE_VALUE;

static void CloseChannel(Channel* channel)
{
    if (channel->bufferReady)
        CloseHandle(channel->bufferReady);
    if (channel->dataReady)
        CloseHandle(channel->dataReady);
    if (channel->view)
        UnmapViewOfFile(channel->view);
    if (channel->mapping)
        CloseHandle(channel->mapping);
    if (channel->writers)
        CloseHandle(channel->writers);
}

// Closes what was opened of the channel, keeping the failed call's error.
static Opened Fail(Channel* channel)
{
    DWORD error = GetLastError();
    CloseChannel(channel);
    SetLastError(error);
    return Opened::Failed;
}

// The data event and the buffer were there before the monitor: whoever created them can write
// and signal lines of its own, so the names are not listened on.
static Opened Squatted(Channel* channel, const char* name)
{
    CloseChannel(channel);
    channel->squatted = name;
    return Opened::Squatted;
}

// Whether the buffer of the names exists, whoever may open it.
static bool BufferExists(const wchar_t* name)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (!mapping)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(mapping);
    return true;
}

// A buffer-ready event that exists already is another monitor's when the buffer exists too: then
// the names are left to that monitor, since two listeners would each get a share of the
// messages. Without a buffer, another program created the event, and anyone may: only mappings
// need a privilege under the global names. Writers that were still waiting when a monitor exited
// also keep its objects for their time-out.
static Opened OpenChannel(Channel* channel, const wchar_t* prefix, const char* scope,
                          Security* security)
{
    wchar_t name[64];
    channel->scope = scope;
    channel->dataReady = NULL;
    channel->mapping = NULL;
    channel->writers = NULL;
    channel->view = NULL;

    wsprintfW(name, L"%sDBWIN_BUFFER_READY", prefix);
    channel->bufferReady = CreateEventW(&security->events, FALSE, TRUE, name);
    if (!channel->bufferReady)
        return Opened::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseChannel(channel);
        wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
        return BufferExists(name) ? Opened::Taken : Opened::Blocked;
    }
    wsprintfW(name, L"%sDBWIN_DATA_READY", prefix);
    channel->dataReady = CreateEventW(&security->events, FALSE, FALSE, name);
    if (!channel->dataReady)
        return Fail(channel);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return Squatted(channel, "DBWIN_DATA_READY");
    wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
    channel->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &security->buffer, PAGE_READWRITE,
                                          0, dbwin::kBufferSize, name);
    if (!channel->mapping)
        return Fail(channel);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return Squatted(channel, "DBWIN_BUFFER");
    channel->view = static_cast<char*>(MapViewOfFile(channel->mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!channel->view)
        return Fail(channel);
    // Writers create the mutex on their first message, so it may well exist already.
    wsprintfW(name, L"%sDBWinMutex", prefix);
    channel->writers = CreateMutexExW(&security->mutex, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    if (!channel->writers)
        return Fail(channel);
    return Opened::Listening;
}

static bool MakeSecurity(SECURITY_ATTRIBUTES* attributes, const wchar_t* sddl)
{
    attributes->nLength = sizeof(*attributes);
    attributes->bInheritHandle = FALSE;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
               sddl, SDDL_REVISION_1, &attributes->lpSecurityDescriptor, NULL) != FALSE;
}

static void WriteAll(HANDLE file, const char* data, DWORD size)
{
    DWORD written;
    while (size && WriteFile(file, data, size, &written, NULL) && written) {
        data += written;
        size -= written;
    }
}

// Writes to the output and to the copy file.
static void Print(void* context, const char* data, size_t size)
{
    (void)context;
    WriteAll(g_Output, data, (DWORD)size);
    if (g_Copy != INVALID_HANDLE_VALUE)
        WriteAll(g_Copy, data, (DWORD)size);
}

static dbwin::Queue g_Queue({Print, NULL});

static DWORD WINAPI Printer(LPVOID parameter)
{
    (void)parameter;
    for (;;)
        if (!g_Queue.PrintSome())
            WaitForSingleObject(g_Queued, INFINITE);
}

static void HandBack(void* context)
{
    Channel* channel = static_cast<Channel*>(context);
    SetEvent(channel->bufferReady);
    channel->quietSince = GetTickCount();
}

// Takes the message that a writer signalled; the buffer goes back before the line is queued.
static void Take(Channel* channel)
{
    if (g_Queue.Take(channel->view, HandBack, channel))
        SetEvent(g_Queued);
}

// A quiet buffer that no writer is filling is handed out again, unless a message waits in it:
// a writer that died after taking it would otherwise hold up every later one for its time-out.
// Nobody is filling it when:
// - the monitor holds the writers' mutex: writers hold it from before they take the buffer until
//   after they signal, so none is half-way (a dead one abandoned the mutex);
// - the process that began filling it has ended (WriterGone), which also frees the buffer when
//   writers queued for the mutex ahead of the monitor, each of which would otherwise wait out
//   its time-out behind it.
// Setting a free buffer's event changes nothing, so no live writer is ever overtaken. Left over:
// a writer thread that dies holding the buffer while its process lives on, or before it wrote
// its process id, costs each writer queued for the mutex ahead of the monitor its time-out and
// its message.
static void Rearm(Channel* channel)
{
    if (WaitForSingleObject(channel->dataReady, 0) == WAIT_OBJECT_0) {
        Take(channel);
        return;
    }
    memset(channel->view, 0, sizeof(DWORD));
    SetEvent(channel->bufferReady);
    channel->quietSince = GetTickCount();
}

static void RearmHolding(Channel* channel)
{
    Rearm(channel);
    ReleaseMutex(channel->writers);
}

// The process id in the buffer is cleared whenever the buffer is handed out, so one that is set
// is that of the writer filling it now. A process id reused meanwhile reads as a live writer.
static bool WriterGone(const Channel* channel)
{
    DWORD pid;
    memcpy(&pid, channel->view, sizeof(pid));
    if (!pid)
        return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
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

    Security security;
    if (!MakeSecurity(&security.events, kEventSecurity) ||
        !MakeSecurity(&security.buffer, kBufferSecurity) ||
        !MakeSecurity(&security.mutex, kMutexSecurity)) {
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
                    "leaving them to it (if one has just exited, writers that waited for it keep "
                    "the names for up to %lu s)\n",
                    scopes[i], kWriterTimeoutS);
            taken++;
            break;
        case Opened::Blocked:
            fprintf(stderr,
                    "dbwin-monitor: DBWIN_BUFFER_READY of the %s names was created by another "
                    "program, which could keep writers from this monitor; not using these names. "
                    "If a monitor has just exited, try again after the writers' time-out "
                    "(%lu s)\n",
                    scopes[i], kWriterTimeoutS);
            taken++;
            break;
        case Opened::Squatted:
            fprintf(stderr,
                    "dbwin-monitor: %s of the %s names was created by another program, which "
                    "could feed this monitor lines of its own; not using these names\n",
                    channels[count].squatted, scopes[i]);
            taken++;
            break;
        case Opened::Failed: error = GetLastError(); break;
        }
    }
    LocalFree(security.events.lpSecurityDescriptor);
    LocalFree(security.buffer.lpSecurityDescriptor);
    LocalFree(security.mutex.lpSecurityDescriptor);
    if (!count) {
        if (taken)
            fprintf(
                stderr,
                "dbwin-monitor: nothing left to listen on; close the other monitor or program\n");
        else
            fprintf(stderr, "dbwin-monitor: cannot create the DBWIN objects, error %lu\n", error);
        return 1;
    }

    // Opened as fopen's "ab" would: every write goes to the end, and others may read meanwhile.
    if (argc == 2) {
        g_Copy = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (g_Copy == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "dbwin-monitor: cannot open the output file, error %lu\n",
                    GetLastError());
            return 1;
        }
    }
    g_Output = GetStdHandle(STD_OUTPUT_HANDLE);
    g_Queued = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE printer = g_Queued ? CreateThread(NULL, 0, Printer, NULL, 0, NULL) : NULL;
    if (!printer) {
        fprintf(stderr, "dbwin-monitor: cannot start the printing thread, error %lu\n",
                GetLastError());
        return 1;
    }
    CloseHandle(printer);
    if (sessionZero)
        fprintf(stderr, "dbwin-monitor: listening on the global names (in session 0 they are "
                        "also the local ones)\n");
    else
        fprintf(stderr, "dbwin-monitor: listening on the %s names\n",
                count == 2 ? "global and local" : channels[0].scope);
    fflush(stderr);

    // The buffer-ready events were created signalled: signalling them again could hand a buffer
    // to a second writer while a first one that took it during the set-up is still using it.
    for (int i = 0; i < count; i++)
        channels[i].quietSince = GetTickCount();
    // One wait takes a message of any channel or, for each channel quiet for kRearmMs, its
    // writers' mutex; a message comes first, having the lower index.
    for (;;) {
        HANDLE handles[4];
        Channel* checked[4];
        DWORD waited = (DWORD)count;
        DWORD timeout = INFINITE;
        DWORD now = GetTickCount();
        for (int i = 0; i < count; i++) {
            Channel* channel = &channels[i];
            handles[i] = channel->dataReady;
            DWORD quiet = now - channel->quietSince;
            if (quiet < kRearmMs) {
                timeout = kRearmMs - quiet < timeout ? kRearmMs - quiet : timeout;
                continue;
            }
            // While a writer keeps the mutex, its process is looked at again every period.
            timeout = kRearmMs < timeout ? kRearmMs : timeout;
            if (WriterGone(channel)) {
                Rearm(channel);
                continue;
            }
            checked[waited] = channel;
            handles[waited++] = channel->writers;
        }
        DWORD which = WaitForMultipleObjects(waited, handles, FALSE, timeout);
        if (which == WAIT_TIMEOUT)
            continue;
        if (which - WAIT_OBJECT_0 < (DWORD)count)
            Take(&channels[which - WAIT_OBJECT_0]);
        else if (which - WAIT_OBJECT_0 < waited)
            RearmHolding(checked[which - WAIT_OBJECT_0]);
        else if (which - WAIT_ABANDONED_0 >= (DWORD)count && which - WAIT_ABANDONED_0 < waited)
            RearmHolding(checked[which - WAIT_ABANDONED_0]);
        else {
            // Waiting again after a failed wait would only fail again, at full speed.
            fprintf(stderr, "dbwin-monitor: waiting for messages failed, error %lu\n",
                    GetLastError());
            return 1;
        }
    }
}
