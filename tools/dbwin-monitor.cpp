// Prints the debug output of every process (OutputDebugString), one line "<pid> <text>" each.
//
// Its output never holds up a writer. The main thread takes each message, hands the buffer back
// at once and queues the line; a second thread prints the queue. Were the buffer handed back only
// after printing, a paused console or a stalled pipe would make every process that traces wait its
// full time-out per message. When the output stays blocked until the queue is full, messages are
// dropped and counted, and a line in the output says how many once it flows again. That part is
// in monitor-core.cpp, with what the monitor says about the names it finds; this file holds the
// objects, their security and the waits.
#include "monitor-core.h"

#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

// A writer that dies half-way never signals DATA_READY; a channel without a message for this
// long gets its buffer checked (Rearm), or every later writer would time out on us.
static const DWORD kRearmMs = 300;

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
// What the monitor does with its events: wait and set. CreateEvent would ask for full access to
// an event that is there already, which the events grant only SYSTEM and Administrators, so a
// monitor run without elevation beside an elevated one failed; this much they grant everyone,
// and the monitor can tell whose they are.
static const DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

struct Channel {
    HANDLE bufferReady;
    HANDLE dataReady;
    HANDLE mapping;
    HANDLE writers; // "DBWinMutex", see Rearm
    char* view;
    DWORD quietSince; // when a message was last taken or the buffer last checked
};

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

// Whether an object of the name is there: opening it succeeds or is refused.
static bool Exists(HANDLE opened)
{
    if (!opened)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(opened);
    return true;
}

static bool EventExists(const wchar_t* name)
{
    return Exists(OpenEventW(SYNCHRONIZE, FALSE, name));
}

static bool BufferExists(const wchar_t* name)
{
    return Exists(OpenFileMappingW(FILE_MAP_READ, FALSE, name));
}

// Whether the call just made, which returned a handle or not, created the object. If not, notes
// whether the object was there already (the call opened it, or was refused it) and the error of
// a failed call.
static bool Created(bool handle, const wchar_t* name, bool (*exists)(const wchar_t*), bool* existed,
                    unsigned long* error)
{
    DWORD result = GetLastError();
    if (handle && result != ERROR_ALREADY_EXISTS)
        return true;
    *error = handle ? 0 : result;
    *existed = handle || (result == ERROR_ACCESS_DENIED && exists(name));
    return false;
}

static bool Unused(Channel* channel, dbwin::Found* found, dbwin::Object stoppedAt)
{
    found->stoppedAt = stoppedAt;
    CloseChannel(channel);
    return false;
}

// Creates the objects of one set of names and returns whether the monitor listens on them. It
// stops at the first object that was there already or that cannot be created, noting what it
// found for the monitor's message (monitor-core.cpp). Only the monitor's own objects are kept: it
// never maps a buffer that someone else made.
static bool OpenChannel(Channel* channel, const wchar_t* prefix, Security* security,
                        dbwin::Found* found)
{
    wchar_t name[64];
    *channel = Channel();
    *found = dbwin::Found();

    wsprintfW(name, L"%sDBWIN_BUFFER_READY", prefix);
    channel->bufferReady =
        CreateEventExW(&security->events, name, CREATE_EVENT_INITIAL_SET, kEventAccess);
    if (!Created(channel->bufferReady != NULL, name, EventExists, &found->eventExisted,
                 &found->error)) {
        wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
        found->bufferExisted = found->eventExisted && BufferExists(name);
        return Unused(channel, found, dbwin::Object::kBufferReady);
    }
    wsprintfW(name, L"%sDBWIN_DATA_READY", prefix);
    channel->dataReady = CreateEventExW(&security->events, name, 0, kEventAccess);
    if (!Created(channel->dataReady != NULL, name, EventExists, &found->dataExisted, &found->error))
        return Unused(channel, found, dbwin::Object::kDataReady);
    wsprintfW(name, L"%sDBWIN_BUFFER", prefix);
    channel->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &security->buffer, PAGE_READWRITE,
                                          0, dbwin::kBufferSize, name);
    if (!Created(channel->mapping != NULL, name, BufferExists, &found->bufferExisted,
                 &found->error))
        return Unused(channel, found, dbwin::Object::kBuffer);
    channel->view = static_cast<char*>(MapViewOfFile(channel->mapping, FILE_MAP_WRITE, 0, 0, 0));
    // Writers create the mutex on their first message, so it may well exist already.
    if (channel->view) {
        wsprintfW(name, L"%sDBWinMutex", prefix);
        channel->writers =
            CreateMutexExW(&security->mutex, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    }
    if (!channel->writers) {
        found->error = GetLastError();
        return Unused(channel, found,
                      channel->view ? dbwin::Object::kMutex : dbwin::Object::kBuffer);
    }
    return true;
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
    dbwin::Found found[2] = {};
    Channel channels[2];
    int count = 0;
    for (int i = 0; i < (sessionZero ? 1 : 2); i++) {
        if (OpenChannel(&channels[count], prefixes[i], &security, &found[i]))
            count++;
        else
            fputs(dbwin::Explain(found[i], i == 0, sessionZero).c_str(), stderr);
    }
    LocalFree(security.events.lpSecurityDescriptor);
    LocalFree(security.buffer.lpSecurityDescriptor);
    LocalFree(security.mutex.lpSecurityDescriptor);
    const std::string summary = dbwin::Summary(found, sessionZero);
    if (!count) {
        fputs(summary.c_str(), stderr);
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
    fputs(summary.c_str(), stderr);
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
