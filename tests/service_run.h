#pragma once
// Runs the service the way the controller does, on the simulated platform: the entry routine on
// a main thread of its own, with a clean process state before and checks after each test.

#include "hosted.h"
#include "service.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

inline std::wstring Msg(const wchar_t* tail)
{
    return std::wstring(SERVICE_NAME L": ") + tail;
}

inline SERVICE_STATUS Status(DWORD state, DWORD accepted, DWORD exitCode, DWORD checkPoint)
{
    return {SERVICE_WIN32_OWN_PROCESS, state, accepted, exitCode, 0, checkPoint, 0};
}

inline bool operator==(const SERVICE_STATUS& a, const SERVICE_STATUS& b)
{
    return a.dwServiceType == b.dwServiceType && a.dwCurrentState == b.dwCurrentState &&
           a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode &&
           a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode &&
           a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint;
}

inline void PrintTo(const SERVICE_STATUS& s, std::ostream* os)
{
    *os << "{type 0x" << std::hex << s.dwServiceType << std::dec << ", state " << s.dwCurrentState
        << ", accepted " << s.dwControlsAccepted << ", exit " << s.dwWin32ExitCode << ", specific "
        << s.dwServiceSpecificExitCode << ", checkpoint " << s.dwCheckPoint << ", hint "
        << s.dwWaitHint << "}";
}

inline std::vector<SERVICE_STATUS> Statuses()
{
    std::vector<SERVICE_STATUS> statuses;
    for (const sim::Report& report : sim::Reports())
        statuses.push_back(report.status);
    return statuses;
}

// The checkpoints are the required ones, written out: a header that changed them must fail.
inline const std::vector<SERVICE_STATUS> kNormalReports = {
    Status(SERVICE_START_PENDING, 0, NO_ERROR, 0),
    Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0),
    Status(SERVICE_STOP_PENDING, 0, NO_ERROR, 4),
    Status(SERVICE_STOPPED, 0, NO_ERROR, 3),
};

inline const char kInterpreterCommandLine[] =
    "\"C:\\Windows\\system32\\cmd.exe\" /c start c:\\windows\\Zentorvik.exe -s";

template <typename T>
long IndexOf(const std::vector<T>& items, const T& item)
{
    auto it = std::find(items.begin(), items.end(), item);
    return it == items.end() ? -1 : static_cast<long>(it - items.begin());
}

// The routine that sent a message: what comes between the prefix and the next ": ".
inline std::wstring RoutineOf(const std::wstring& message)
{
    size_t start = Msg(L"").size();
    return message.substr(start, message.find(L": ", start) - start);
}

inline std::vector<sim::Process> ProcessesNamed(const std::wstring& exeFile)
{
    std::vector<sim::Process> named;
    for (const sim::Process& process : sim::Processes())
        if (process.exeFile == exeFile)
            named.push_back(process);
    return named;
}

inline void ExpectLaunchedProgramTerminated()
{
    EXPECT_EQ(std::vector<std::string>{kInterpreterCommandLine}, sim::Commands());
    auto processes = ProcessesNamed(L"Zentorvik.exe");
    ASSERT_EQ(1u, processes.size());
    EXPECT_FALSE(processes[0].running);
    EXPECT_EQ(0u, processes[0].exitCode);
}

// The launch's calls from the interpreter's creation to the closing of its process handle.
inline std::vector<std::string> LaunchCallsFromCreation()
{
    auto calls = sim::CallLog();
    auto created = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.rfind("CreateProcessW(", 0) == 0;
    });
    auto closed = std::find(created, calls.end(), "CloseHandle(process)");
    return std::vector<std::string>(created, closed == calls.end() ? closed : closed + 1);
}

inline const char kInterpreterCreation[] =
    "CreateProcessW(C:\\Windows\\system32\\cmd.exe, (nil), (nil), 0, 0x8, (nil), (nil))";

// An interpreter that never ended was waited for 10 s, then ended, and its handles closed; no
// program of the launch runs.
inline void ExpectInterpreterEndedAfterTheBound()
{
    EXPECT_EQ(std::vector<std::string>{kInterpreterCommandLine}, sim::Commands());
    EXPECT_EQ((std::vector<std::string>{kInterpreterCreation, "CloseHandle(thread)",
                                        "WaitForSingleObject(process, 10000)",
                                        "TerminateProcess(1460)", "CloseHandle(process)"}),
              LaunchCallsFromCreation());
    auto interpreters = ProcessesNamed(L"cmd.exe");
    ASSERT_EQ(1u, interpreters.size());
    EXPECT_FALSE(interpreters[0].running);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), interpreters[0].exitCode);
    EXPECT_TRUE(ProcessesNamed(L"Zentorvik.exe").empty());
}

inline size_t CountCalls(const std::string& prefix)
{
    auto calls = sim::CallLog();
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.compare(0, prefix.size(), prefix) == 0;
    }));
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::Reset();
        g_ServiceStatus = SERVICE_STATUS{};
        g_StatusHandle = NULL;
        g_ServiceStopEvent = INVALID_HANDLE_VALUE;
    }

    void TearDown() override
    {
        if (main_.joinable()) {
            sim::Disconnect();
            main_.join();
        }
        EXPECT_EQ(std::vector<std::string>{}, sim::HandleFaults());
        EXPECT_EQ(std::vector<std::string>{}, sim::OpenHandles());
        sim::Reset();
    }

    void StartProcess()
    {
        std::promise<int> exitCode;
        exitCode_ = exitCode.get_future();
        main_ = std::thread([this, exitCode = std::move(exitCode)]() mutable {
            exitCode.set_value(wmain(1, argv_, nullptr));
        });
    }

    // Joins the main thread and the service thread: the whole process has run to its end. When it
    // does not end in time, the test fails and the controller gives up on the service.
    int EndOfProcess()
    {
        if (exitCode_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the process did not end within 10 s";
            sim::Disconnect();
        }
        main_.join();
        if (sim::ServiceMainStarted()) {
            EXPECT_TRUE(sim::WaitForServiceMainReturn());
        }
        return exitCode_.get();
    }

    // Start until the worker has slept once, so that the worker is polling.
    void StartAndWaitForPolling()
    {
        StartProcess();
        ASSERT_TRUE(sim::WaitForSleeps(1));
    }

    std::thread main_;
    std::future<int> exitCode_;
    wchar_t program_[32] = L"OrveldenZentorvikTool.exe";
    wchar_t* argv_[2] = {program_, nullptr};
};
