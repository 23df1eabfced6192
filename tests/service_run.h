#pragma once
// Runs the service the way the controller does, on the simulated platform: the entry routine on
// a main thread of its own, with a clean process state before and checks after each test.

#include "hosted.h"
#include "service.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <utility>
#include <vector>

inline std::wstring Msg(const wchar_t* tail)
{
    return std::wstring(SERVICE_NAME L": ") + tail;
}

// The statuses reported as the driver prints them, process id aside: the form of
// tests/normal-run.txt.
inline std::vector<std::string> Statuses()
{
    static const char* const kStates[] = {"UNKNOWN", "STOPPED", "START_PENDING", "STOP_PENDING",
                                          "RUNNING"};
    std::vector<std::string> statuses;
    for (const SERVICE_STATUS& s : sim::Recorded().reports) {
        char text[256];
        snprintf(text, sizeof text,
                 "type=0x%x state=%s accepted=0x%x exit=%u specific=%u checkpoint=%u hint=%u",
                 s.dwServiceType,
                 kStates[s.dwCurrentState < ARRAYSIZE(kStates) ? s.dwCurrentState : 0],
                 s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                 s.dwCheckPoint, s.dwWaitHint);
        statuses.push_back(text);
    }
    return statuses;
}

template <typename T>
long IndexOf(const std::vector<T>& items, const T& item)
{
    auto it = std::find(items.begin(), items.end(), item);
    return it == items.end() ? -1 : static_cast<long>(it - items.begin());
}

// Each item occurs in `items`, and in the order given.
template <typename T>
void ExpectOrder(const std::vector<T>& items, const std::vector<T>& order)
{
    for (size_t i = 0; i < order.size(); ++i) {
        const std::string item = ::testing::PrintToString(order[i]);
        EXPECT_NE(-1, IndexOf(items, order[i])) << "missing: " << item;
        if (i > 0) {
            EXPECT_LT(IndexOf(items, order[i - 1]), IndexOf(items, order[i])) << "early: " << item;
        }
    }
}

// The routine that sent a message: what comes between the prefix and the next ": ".
inline std::wstring RoutineOf(const std::wstring& message)
{
    size_t start = Msg(L"").size();
    return message.substr(start, message.find(L": ", start) - start);
}

// The normal run as tests/normal-run.txt writes it for the end-to-end reader, so that both suites
// hold the service to one description.
struct NormalRun {
    std::vector<std::string> statuses;
    std::vector<std::wstring> trace;
    std::map<std::wstring, std::string> threadOf; // by routine
    std::vector<std::pair<std::wstring, std::wstring>> after;
    std::vector<std::wstring> otherControl;
};

// A message of the file, which is ASCII, as the service traces it.
inline std::wstring Message(const std::string& text)
{
    return Msg(std::wstring(text.begin(), text.end()).c_str());
}

inline std::vector<std::wstring> Messages(std::string text)
{
    std::vector<std::wstring> messages;
    for (size_t bar; (bar = text.find(" | ")) != std::string::npos; text.erase(0, bar + 3))
        messages.push_back(Message(text.substr(0, bar)));
    messages.push_back(Message(text));
    return messages;
}

inline NormalRun ReadNormalRun()
{
    NormalRun run;
    std::ifstream file(NORMAL_RUN_FILE);
    EXPECT_TRUE(file.is_open()) << "cannot read " << NORMAL_RUN_FILE;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "status") {
            run.statuses.push_back(rest);
        } else if (word == "trace") {
            space = rest.find(' ');
            run.trace.push_back(Message(rest.substr(space + 1)));
            run.threadOf[RoutineOf(run.trace.back())] = rest.substr(0, space);
        } else if (word == "after") {
            const std::vector<std::wstring> pair = Messages(rest);
            run.after.emplace_back(pair.front(), pair.back());
        } else if (word == "other-control") {
            run.otherControl = Messages(rest);
        } else if (word != "optional") { // here every run waits for ServiceMain's end
            ADD_FAILURE() << "unknown statement: " << line;
        }
    }
    EXPECT_FALSE(run.statuses.empty() || run.trace.empty() || run.after.empty());
    return run;
}

// The process table, a process a line: "<file name> running" or "<file name> exit <code>".
inline std::vector<std::wstring> Processes()
{
    std::vector<std::wstring> table;
    for (const sim::Process& p : sim::Recorded().processes)
        table.push_back(p.exeFile +
                        (p.running ? L" running" : L" exit " + std::to_wstring(p.exitCode)));
    return table;
}

// Launched, by an interpreter that ended, and terminated at the stop.
inline const std::vector<std::wstring> kTerminated = {L"cmd.exe exit 0", L"Zentorvik.exe exit 0"};

class ServiceTest : public ::testing::Test {
protected:
    // The platform starts afresh, and is reset after each test.
    void SetUp() override
    {
        g_ServiceStatus = SERVICE_STATUS{};
        g_StatusHandle = NULL;
        g_ServiceStopEvent = INVALID_HANDLE_VALUE;
    }

    void TearDown() override
    {
        if (exitCode_.valid()) {
            sim::Disconnect();
            exitCode_.wait();
        }
        EXPECT_EQ(std::vector<std::string>{}, sim::Recorded().handleFaults);
        EXPECT_EQ(std::vector<std::string>{}, sim::Recorded().openHandles);
        sim::Reset();
    }

    // Between the cases of one test: the checks after a test, and a clean process state.
    void NextCase()
    {
        TearDown();
        SetUp();
    }

    void StartProcess()
    {
        exitCode_ = std::async(std::launch::async, wmain, 1, argv_, nullptr);
    }

    // Joins the main thread and the service thread: the whole process has run to its end. When it
    // does not end in time, the test fails and the controller gives up on the service.
    int EndOfProcess()
    {
        if (exitCode_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the process did not end within 10 s";
            sim::Disconnect();
        }
        const int exitCode = exitCode_.get();
        if (sim::ServiceMainStarted()) {
            EXPECT_TRUE(sim::WaitForServiceMainReturn());
        }
        return exitCode;
    }

    // Start until the worker has slept once, so that the worker is polling.
    void StartAndWaitForPolling()
    {
        StartProcess();
        ASSERT_TRUE(sim::WaitForCall("Sleep("));
    }

    std::future<int> exitCode_;
    wchar_t program_[32] = L"OrveldenZentorvikTool.exe";
    wchar_t* argv_[2] = {program_, nullptr};
};
