// The debug-output monitor's queue, apart from the Windows objects: a message taken, its buffer
// handed back before the output sees it, its line escaped, and what a full queue drops counted
// where it was dropped, with a reader and a printer running at once.
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

namespace {

using namespace std::chrono_literals;

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
    // The printing thread, until the reader is done and everything is printed.
    std::thread Printer()
    {
        return std::thread([this] {
            for (bool done = false; !done; std::this_thread::yield()) {
                done = readerDone; // then whatever the reader queued is printed below
                while (queue->PrintSome()) {
                }
            }
        });
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
    std::thread printer = monitor.Printer();
    auto reader = std::async(std::launch::async, [&monitor] {
        for (int n = 1; n <= kMessages; n++) {
            monitor.Take(3, Flood(n));
            if (n == kMessages / 2)
                monitor.output.blocked = false;
        }
        monitor.readerDone = true;
    });
    EXPECT_EQ(std::future_status::ready, reader.wait_for(20s)) << "the reader waits for the output";
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
