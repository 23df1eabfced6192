// The debug-output monitor apart from the Windows objects: what it says about the names it finds
// and whether it listens on them; and its queue: a message taken, its buffer handed back before
// the output sees it, its line escaped, and what a full queue drops counted where it was dropped,
// with a reader and a printer running at once.
#include "monitor-core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

namespace {

// What the printer wrote; while blocked, the output holds the printer as a paused console does.
// Read once the printer has ended.
struct Output {
    std::atomic<bool> blocked{false};
    std::string text;

    static void Write(void* context, const char* data, std::size_t size)
    {
        auto* output = static_cast<Output*>(context);
        while (output->blocked)
            std::this_thread::yield();
        output->text.append(data, size);
    }
};

struct Monitor {
    Output output;
    std::unique_ptr<dbwin::Queue> queue =
        std::make_unique<dbwin::Queue>(dbwin::Sink{Output::Write, &output});
    char buffer[dbwin::kBufferSize] = {};
    int handedBack = 0;
    std::atomic<bool> readerDone{false};

    // As a writer fills the buffer: its process id, then its text and a zero, cut at the end.
    bool Take(std::uint32_t pid, const std::string& text)
    {
        std::memcpy(buffer, &pid, sizeof(pid));
        std::memcpy(buffer + sizeof(pid), text.c_str(),
                    std::min(text.size() + 1, sizeof(buffer) - sizeof(pid)));
        return queue->Take(
            buffer, [](void* self) { ++static_cast<Monitor*>(self)->handedBack; }, this);
    }
    void PrintAll()
    {
        while (queue->PrintSome()) {
        }
    }
};

// The n-th message of a flood; lengths vary, so that lines wrap around the ring anywhere.
std::string Flood(int n)
{
    return std::string(static_cast<std::size_t>(n * 37 % 1000), 'a') + " " + std::to_string(n);
}

std::string Dropped(int count)
{
    return "dbwin-monitor: " + std::to_string(count) + (count == 1 ? " message" : " messages") +
           " dropped here: the output was blocked and the queue full\n";
}

// What the monitor writes to standard error once it has looked at its names, put together as
// dbwin-monitor.cpp does: a line for each set of names it does not listen on, then the summary.
// In session 0 there are only the global names.
std::string Says(bool sessionZero, const dbwin::Found& global, const dbwin::Found& local)
{
    const dbwin::Found found[2] = {global, local};
    std::string said;
    for (int i = 0; i < (sessionZero ? 1 : 2); i++)
        if (!dbwin::Listens(found[i]))
            said += dbwin::Explain(found[i], i == 0, sessionZero);
    return said + dbwin::Summary(found, sessionZero);
}

// Creating `object` failed with `error`; nothing was there before it.
dbwin::Found Failed(unsigned long error, dbwin::Object object)
{
    return {false, false, false, error, object};
}

// Names whose objects the monitor made, names another monitor listens on, names it may not create.
const dbwin::Found kMade = {};
const dbwin::Found kMonitor = {true, false, true, 0, dbwin::Object::kBufferReady};
const dbwin::Found kDenied = Failed(dbwin::kAccessDenied, dbwin::Object::kBuffer);
const std::string kListeningBoth = "dbwin-monitor: listening on the global and local names\n";
const std::string kListeningLocal = "dbwin-monitor: listening on the local names\n";
const std::string kNothing = "dbwin-monitor: nothing left to listen on\n";
const std::string kNothingOther =
    "dbwin-monitor: nothing left to listen on; close the other monitor or program\n";

std::string OtherMonitor(const std::string& names)
{
    return "dbwin-monitor: another debug-output monitor listens on the " + names +
           " names; leaving them to it (if one has just exited, writers that waited for it keep "
           "the names for up to 10 s)\n";
}

const std::string kOtherProgramsGlobalEvent =
    "dbwin-monitor: DBWIN_BUFFER_READY of the global names was created by another program, which "
    "could keep writers from this monitor; not using these names. If a monitor has just exited, "
    "try again after the writers' time-out (10 s)\n";

std::string OtherProgram(const std::string& object, const std::string& names)
{
    return "dbwin-monitor: " + object + " of the " + names +
           " names was created by another program, which could feed this monitor lines of its "
           "own; not using these names\n";
}

std::string Refused(const std::string& names)
{
    return "dbwin-monitor: cannot create the DBWIN objects of the " + names +
           " names, error 5 (access denied); run the monitor as administrator (elevated)\n";
}

std::string HeldTighter(const std::string& object, const std::string& names)
{
    return "dbwin-monitor: " + object + " of the " + names +
           " names was refused (error 5, access denied): another program holds it with tighter "
           "rights; not using these names\n";
}

const std::string kRefusedGlobal =
    "dbwin-monitor: cannot create the DBWIN objects of the global names, error 5 (access "
    "denied): outside session 0 the global buffer needs administrator rights, and services "
    "write only to the global names; to see their messages, run the monitor as administrator "
    "(elevated)\n";

// Every combination of what the global names had (the buffer-ready event there already, the
// buffer there already, a call refused), outside session 0 beside local names of the monitor's
// own, and in session 0, where the global names are the only ones. An object the monitor was
// refused is there all the same: an event that another account's monitor made opens no more
// than it grants everyone, and one that refuses even that is still someone else's.
TEST(MonitorNames, SaysWhyItLeavesTheGlobalNamesForEveryCombination)
{
    // In session 0 there are no local names apart from the global ones: these must not count.
    const dbwin::Found unused = {true, true, true, 8, dbwin::Object::kBufferReady};
    auto global = [](bool eventExisted, bool bufferExisted, bool denied) {
        return dbwin::Found{eventExisted, false, bufferExisted, denied ? dbwin::kAccessDenied : 0,
                            eventExisted ? dbwin::Object::kBufferReady : dbwin::Object::kBuffer};
    };
    EXPECT_EQ(kListeningBoth, Says(false, global(false, false, false), kMade));
    EXPECT_EQ("dbwin-monitor: listening on the global names (in session 0 they are also the local "
              "ones)\n",
              Says(true, global(false, false, false), unused));
    EXPECT_EQ(kRefusedGlobal + kListeningLocal, Says(false, global(false, false, true), kMade));
    EXPECT_EQ(Refused("global") + kNothing, Says(true, global(false, false, true), unused));
    // Whatever was there already, whether or not it was refused too.
    const std::tuple<bool, bool, std::string> others[] = {
        {false, true, OtherProgram("DBWIN_BUFFER", "global")},
        {true, false, kOtherProgramsGlobalEvent},
        {true, true, OtherMonitor("global")}};
    for (const auto& [eventExisted, bufferExisted, why] : others)
        for (bool denied : {false, true}) {
            const dbwin::Found found = global(eventExisted, bufferExisted, denied);
            EXPECT_EQ(why + kListeningLocal, Says(false, found, kMade)) << denied;
            EXPECT_EQ(why + kNothingOther, Says(true, found, unused)) << denied;
        }
}

// Both sets of names outside session 0; an event or the mutex refused, which another program
// holds; and the failures that are neither another program nor a refusal.
TEST(MonitorNames, SaysWhatItFoundUnderBothSetsOfNames)
{
    struct Case {
        const char* what;
        bool sessionZero;
        dbwin::Found global, local;
        std::string said;
    };
    // Another monitor's objects that refuse this one; another program's buffer, and data event.
    const dbwin::Found kMonitorRefusing = {true, false, true, dbwin::kAccessDenied,
                                           dbwin::Object::kBufferReady};
    const dbwin::Found kOtherBuffer = {false, false, true, 0, dbwin::Object::kBuffer};
    const dbwin::Found kOtherDataEvent = {false, true, false, 0, dbwin::Object::kDataReady};
    const Case cases[] = {
        {"a second monitor, whether or not it may open the first one's objects", false, kMonitor,
         kMonitorRefusing, OtherMonitor("global") + OtherMonitor("local") + kNothingOther},
        {"a monitor that may not create the global names beside another in its session", false,
         kDenied, kMonitor, kRefusedGlobal + OtherMonitor("local") + kNothingOther},
        {"another program's global buffer and local data event", false, kOtherBuffer,
         kOtherDataEvent,
         OtherProgram("DBWIN_BUFFER", "global") + OtherProgram("DBWIN_DATA_READY", "local") +
             kNothingOther},
        {"the local names refused", false, kMade, kDenied,
         Refused("local") + "dbwin-monitor: listening on the global names\n"},
        {"both refused", false, kDenied, kDenied, kRefusedGlobal + Refused("local") + kNothing},
        {"an elevated monitor refused another program's global mutex", false,
         Failed(dbwin::kAccessDenied, dbwin::Object::kMutex), kMade,
         HeldTighter("DBWinMutex", "global") + kListeningLocal},
        {"the data event refused in session 0", true,
         Failed(dbwin::kAccessDenied, dbwin::Object::kDataReady), kMade,
         HeldTighter("DBWIN_DATA_READY", "global") + kNothingOther},
        {"another error", false, Failed(1450, dbwin::Object::kBuffer), kDenied,
         "dbwin-monitor: cannot create the DBWIN objects of the global names, error 1450\n" +
             Refused("local") + kNothing},
        {"another error in session 0", true, Failed(8, dbwin::Object::kMutex), kMade,
         "dbwin-monitor: cannot create the DBWIN objects of the global names, error 8\n" +
             kNothing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.said, Says(c.sessionZero, c.global, c.local)) << c.what;
}

TEST(MonitorCore, WritesAMessageAsOneLineOfItsOwn)
{
    Monitor monitor;
    monitor.Take(7, "forged\n1 Orvelden Zentorvik Tool: Main: Exit\x1b[2J");
    EXPECT_EQ(0, monitor.buffer[0]) << "the writer's process id stays in the buffer";
    monitor.Take(8, "tab\tdel\x7f\xc3\xa9\r\n\r\n");
    monitor.Take(9, std::string(dbwin::kBufferSize, 'x')); // no zero before the buffer's end
    monitor.PrintAll();
    EXPECT_EQ("7 forged\\x0A1 Orvelden Zentorvik Tool: Main: Exit\\x1B[2J\n"
              "8 tab\tdel\\x7F\xc3\xa9\n"
              "9 " +
                  std::string(dbwin::kBufferSize - 5, 'x') + "\n",
              monitor.output.text);
}

TEST(MonitorCore, CountsTheMessagesAFullQueueDropsWhereTheyWereDropped)
{
    Monitor monitor;
    const std::string text(4000, 'f');
    const int fit = static_cast<int>(dbwin::kQueueBytes / (text.size() + 3));
    auto flood = [&monitor, &text, fit](int count) {
        for (int n = 0; n < count; n++)
            EXPECT_EQ(n < fit, monitor.Take(1, text)) << "message " << n;
    };
    // Queued by the reader, once the output has taken what was queued before...
    flood(fit + 7);
    monitor.queue->PrintSome();
    monitor.Take(2, "after");
    // ...or written by the printer, once it finds the queue empty.
    flood(fit + 1);
    monitor.PrintAll();
    std::string lines;
    for (int n = 0; n < fit; n++)
        lines += "1 " + text + "\n";
    EXPECT_EQ(lines + Dropped(7) + "2 after\n" + lines + Dropped(1), monitor.output.text);
}

// A printer thread reads the ring while the reader fills it. The output blocks until the reader
// has sent more than the queue holds, and the reader goes on meanwhile, handing the buffer back
// every time. Every message comes out whole and in order, or counted by the next notice.
TEST(MonitorCore, PrintsOrCountsEveryMessageWhileTheReaderGoesOn)
{
    const int kMessages = 20000;
    Monitor monitor;
    monitor.output.blocked = true;
    // The printing thread, until the reader is done and everything is printed.
    std::thread printer([&monitor] {
        for (bool done = false; !done; std::this_thread::yield()) {
            done = monitor.readerDone; // then whatever the reader queued is printed below
            monitor.PrintAll();
        }
    });
    auto reader = std::async(std::launch::async, [&monitor] {
        for (int n = 1; n <= kMessages; n++) {
            monitor.Take(3, Flood(n));
            if (n == kMessages / 2)
                monitor.output.blocked = false;
        }
        monitor.readerDone = true;
    });
    EXPECT_EQ(std::future_status::ready, reader.wait_for(std::chrono::seconds(20)))
        << "the reader waits for the output";
    monitor.output.blocked = false;
    reader.wait();
    printer.join();
    EXPECT_EQ(kMessages, monitor.handedBack);

    std::istringstream lines(monitor.output.text);
    const std::string notice = "dbwin-monitor: ";
    int next = 1;
    bool noticed = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, notice.size(), notice) == 0) {
            int count = std::stoi(line.substr(notice.size()));
            ASSERT_EQ(Dropped(count), line + "\n");
            next += count;
            noticed = true;
        } else {
            ASSERT_EQ("3 " + Flood(next), line);
            next++;
        }
    }
    EXPECT_EQ(kMessages + 1, next);
    EXPECT_TRUE(noticed) << "the queue was never full";
}

} // namespace
