#include "monitor-core.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace dbwin {

namespace {

// The longest line: every character of the text escaped, with a process id, a space and a newline.
constexpr std::size_t kLongestLine = 4 * kBufferSize + 16;

// "<pid> <text>\n", the text without its trailing line ends and with its control characters
// escaped. The text is cut at the end of the buffer when it has no zero there.
std::size_t FormatLine(std::uint32_t pid, char* text, char* line)
{
    text[kBufferSize - sizeof(pid) - 1] = 0;
    std::size_t length = std::strlen(text);
    while (length && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = 0;
    int size = std::snprintf(line, kLongestLine, "%lu ", static_cast<unsigned long>(pid));
    std::size_t used = static_cast<std::size_t>(size);
    used += Escape(text, line + used);
    line[used++] = '\n';
    return used;
}

std::size_t DropNotice(unsigned long dropped, char* notice, std::size_t size)
{
    int length = std::snprintf(notice, size,
                               "dbwin-monitor: %lu message%s dropped here: the output was blocked "
                               "and the queue full\n",
                               dropped, dropped == 1 ? "" : "s");
    return static_cast<std::size_t>(length);
}

std::string Names(bool global)
{
    return global ? "global names" : "local names";
}

// Only creating the buffer needs a privilege. An event or the mutex that refuses the monitor
// grants less than the monitor and writers grant everyone: another program made it.
bool RefusedByAnother(const Found& found)
{
    return found.error == kAccessDenied && found.stoppedAt != Object::kBuffer;
}

const char* Name(Object object)
{
    static const char* const kNames[] = {"DBWIN_BUFFER_READY", "DBWIN_DATA_READY", "DBWIN_BUFFER",
                                         "DBWinMutex"};
    return kNames[static_cast<int>(object)];
}

} // namespace

bool Listens(const Found& found)
{
    return !found.eventExisted && !found.dataExisted && !found.bufferExisted && !found.error;
}

// A buffer-ready event is another monitor's only when the buffer is there too; anyone may create
// the event, even under the global names, and so keep the writers from the monitor. Whoever made
// the data event or the buffer could feed the monitor lines of its own. Writers still waiting
// for a monitor that has exited keep its names for their time-out.
std::string Explain(const Found& found, bool global, bool sessionZero)
{
    const std::string timeout = std::to_string(kWriterTimeoutS) + " s";
    if (found.eventExisted && found.bufferExisted)
        return "dbwin-monitor: another debug-output monitor listens on the " + Names(global) +
               "; leaving them to it (if one has just exited, writers that waited for it keep "
               "the names for up to " +
               timeout + ")\n";
    if (found.eventExisted)
        return "dbwin-monitor: DBWIN_BUFFER_READY of the " + Names(global) +
               " was created by another program, which could keep writers from this monitor; "
               "not using these names. If a monitor has just exited, try again after the "
               "writers' time-out (" +
               timeout + ")\n";
    if (found.dataExisted || found.bufferExisted)
        return std::string("dbwin-monitor: ") +
               Name(found.dataExisted ? Object::kDataReady : Object::kBuffer) + " of the " +
               Names(global) +
               " was created by another program, which could feed this monitor lines of its "
               "own; not using these names\n";
    if (RefusedByAnother(found))
        return std::string("dbwin-monitor: ") + Name(found.stoppedAt) + " of the " + Names(global) +
               " was refused (error 5, access denied): another program holds it with tighter "
               "rights; not using these names\n";
    const std::string cannot = "dbwin-monitor: cannot create the DBWIN objects of the " +
                               Names(global) + ", error " + std::to_string(found.error);
    // Services write to the global names, and outside session 0 only administrators and
    // services may create a buffer there.
    if (found.error == kAccessDenied && global && !sessionZero)
        return cannot + " (access denied): outside session 0 the global buffer needs "
                        "administrator rights, and services write only to the global names; to "
                        "see their messages, run the monitor as administrator (elevated)\n";
    if (found.error == kAccessDenied)
        return cannot + " (access denied); run the monitor as administrator (elevated)\n";
    if (found.error)
        return cannot + "\n";
    return "";
}

std::string Summary(const Found* found, bool sessionZero)
{
    bool global = Listens(found[0]);
    if (sessionZero && global)
        return "dbwin-monitor: listening on the global names (in session 0 they are also the "
               "local ones)\n";
    bool local = !sessionZero && Listens(found[1]);
    if (global && local)
        return "dbwin-monitor: listening on the global and local names\n";
    if (global || local)
        return "dbwin-monitor: listening on the " + Names(global) + "\n";
    // Where only errors stopped the monitor, their lines say what to do.
    std::size_t count = sessionZero ? 1 : 2;
    for (std::size_t i = 0; i < count; i++)
        if (found[i].eventExisted || found[i].dataExisted || found[i].bufferExisted ||
            RefusedByAnother(found[i]))
            return "dbwin-monitor: nothing left to listen on; close the other monitor or "
                   "program\n";
    return "dbwin-monitor: nothing left to listen on\n";
}

std::size_t Escape(const char* text, char* out)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::size_t used = 0;
    for (; *text; ++text) {
        auto c = static_cast<unsigned char>(*text);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = kHex[c >> 4];
            out[used++] = kHex[c & 0xF];
        } else {
            out[used++] = static_cast<char>(c);
        }
    }
    return used;
}

bool Queue::Take(char* buffer, void (*handBack)(void* context), void* context)
{
    char text[kBufferSize];
    std::uint32_t pid;
    std::memcpy(&pid, buffer, sizeof(pid));
    std::memcpy(text, buffer + sizeof(pid), sizeof(text) - sizeof(pid));
    std::memset(buffer, 0, sizeof(pid));
    handBack(context);

    char line[kLongestLine];
    return Add(line, FormatLine(pid, text, line));
}

// Only the reader calls it, with room in the ring.
void Queue::Put(const char* data, std::size_t size)
{
    std::size_t head = head_.load();
    std::size_t at = head % kQueueBytes;
    std::size_t first = size < kQueueBytes - at ? size : kQueueBytes - at;
    std::memcpy(ring_ + at, data, first);
    std::memcpy(ring_, data + first, size - first);
    head_.store(head + size);
}

bool Queue::Add(const char* line, std::size_t size)
{
    std::size_t used = head_.load() - tail_.load();
    // Once dropping, wait until half the queue is printed: a notice for every other message
    // would only take the room of more messages.
    bool dropping = dropped_.load() != 0;
    if (dropping ? used > kQueueBytes / 2 : kQueueBytes - used < size) {
        dropped_.fetch_add(1);
        return false;
    }
    // The notice goes where the messages were dropped, after every line queued before them;
    // the printer may have written it already, when it found the queue empty.
    unsigned long dropped = dropped_.exchange(0);
    if (dropped) {
        char notice[128];
        std::size_t length = DropNotice(dropped, notice, sizeof(notice));
        Put(notice, length);
    }
    Put(line, size);
    return true;
}

bool Queue::PrintSome()
{
    std::size_t tail = tail_.load();
    std::size_t used = head_.load() - tail;
    if (!used) {
        // Everything queued before the drops is printed, and nothing was queued after them:
        // the reader exchanges the count before it queues again. The counters' operations are
        // sequentially consistent, so a printer that sees the drops sees the lines before them.
        unsigned long dropped = dropped_.exchange(0);
        if (!dropped)
            return false;
        char notice[128];
        std::size_t length = DropNotice(dropped, notice, sizeof(notice));
        sink_.write(sink_.context, notice, length);
        return true;
    }
    std::size_t at = tail % kQueueBytes;
    std::size_t size = used < kQueueBytes - at ? used : kQueueBytes - at;
    sink_.write(sink_.context, ring_ + at, size);
    tail_.store(tail + size);
    return true;
}

} // namespace dbwin
