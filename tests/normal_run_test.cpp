// The normal run as tests/normal-run.txt writes it for the end-to-end reader: the simulated service
// must send those statuses and messages in those orders, so that both suites hold it to one
// description.
#include "service_run.h"

#include <fstream>
#include <map>
#include <set>
#include <utility>

namespace {

struct NormalRun {
    std::vector<std::string> statuses;
    std::vector<std::wstring> trace;
    std::map<std::wstring, std::string> threadOf; // by routine
    std::set<std::wstring> optional;
    std::vector<std::pair<std::wstring, std::wstring>> after;
    std::vector<std::wstring> otherControl;
};

// A message of the file, which is ASCII, as the service traces it.
std::wstring Message(const std::string& text)
{
    return Msg(std::wstring(text.begin(), text.end()).c_str());
}

std::vector<std::wstring> Messages(std::string text)
{
    std::vector<std::wstring> messages;
    for (size_t bar; (bar = text.find(" | ")) != std::string::npos; text.erase(0, bar + 3))
        messages.push_back(Message(text.substr(0, bar)));
    messages.push_back(Message(text));
    return messages;
}

NormalRun ReadNormalRun()
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
        } else if (word == "optional") {
            run.optional.insert(Message(rest));
        } else if (word == "after") {
            std::vector<std::wstring> pair = Messages(rest);
            EXPECT_EQ(2u, pair.size()) << line;
            run.after.emplace_back(pair.front(), pair.back());
        } else if (word == "other-control") {
            run.otherControl = Messages(rest);
        } else {
            ADD_FAILURE() << "unknown statement: " << line;
        }
    }
    EXPECT_FALSE(run.statuses.empty() || run.trace.empty() || run.after.empty());
    return run;
}

// A status as the driver prints it, process id aside.
std::string StatusText(const SERVICE_STATUS& s)
{
    static const std::map<DWORD, std::string> kStates = {
        {SERVICE_STOPPED, "STOPPED"},
        {SERVICE_START_PENDING, "START_PENDING"},
        {SERVICE_STOP_PENDING, "STOP_PENDING"},
        {SERVICE_RUNNING, "RUNNING"},
    };
    auto state = kStates.find(s.dwCurrentState);
    char text[256];
    snprintf(text, sizeof(text),
             "type=0x%x state=%s accepted=0x%x exit=%u specific=%u checkpoint=%u hint=%u",
             s.dwServiceType, state == kStates.end() ? "UNKNOWN" : state->second.c_str(),
             s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
             s.dwWaitHint);
    return text;
}

// The messages of a run with that many controls other than stop: each adds its messages before
// the first of them in the normal run.
std::vector<std::wstring> ExpectedTrace(const NormalRun& run, int otherControls)
{
    std::vector<std::wstring> expected = run.trace;
    auto at = std::find(expected.begin(), expected.end(), run.otherControl.front());
    for (int n = 0; n < otherControls; ++n)
        at = expected.insert(at, run.otherControl.begin(), run.otherControl.end());
    return expected;
}

std::vector<std::wstring> OnThread(const NormalRun& run, const std::vector<std::wstring>& messages,
                                   const std::string& thread)
{
    std::vector<std::wstring> own;
    for (const std::wstring& message : messages) {
        auto found = run.threadOf.find(RoutineOf(message));
        if (found != run.threadOf.end() && found->second == thread)
            own.push_back(message);
    }
    return own;
}

// Each expected message as often as expected (an optional one perhaps not at all), nothing else,
// each thread's messages in their order, and the first of each `after` pair before the second.
void ExpectTheNormalTrace(const NormalRun& run, const std::vector<std::wstring>& expected,
                          const std::vector<std::wstring>& received)
{
    std::set<std::wstring> messages(expected.begin(), expected.end());
    messages.insert(received.begin(), received.end());
    for (const std::wstring& message : messages) {
        auto want = std::count(expected.begin(), expected.end(), message);
        auto got = std::count(received.begin(), received.end(), message);
        if (run.optional.count(message) != 0 && got == 0)
            continue;
        EXPECT_EQ(want, got) << ::testing::PrintToString(message);
    }

    std::vector<std::wstring> present;
    for (const std::wstring& message : expected)
        if (run.optional.count(message) == 0 || IndexOf(received, message) != -1)
            present.push_back(message);
    std::set<std::string> threads;
    for (const auto& routine : run.threadOf)
        threads.insert(routine.second);
    for (const std::string& thread : threads)
        EXPECT_EQ(OnThread(run, present, thread), OnThread(run, received, thread))
            << "thread " << thread;

    for (const auto& [first, second] : run.after) {
        EXPECT_NE(-1, IndexOf(received, first)) << ::testing::PrintToString(first);
        EXPECT_LT(IndexOf(received, first), IndexOf(received, second))
            << ::testing::PrintToString(first) << " should come before "
            << ::testing::PrintToString(second);
    }
}

struct Run {
    const char* name;
    int otherControls;
    sim::PathKind hostedProgram;
};

void PrintTo(const Run& run, std::ostream* os)
{
    *os << run.name;
}

class NormalRunTest : public ServiceTest, public ::testing::WithParamInterface<Run> {};

TEST_P(NormalRunTest, StatusesAndTraceAreTheNormalRunsOfTheEndToEndReader)
{
    const NormalRun run = ReadNormalRun();
    const int otherControls = GetParam().otherControls;
    sim::SetPath(L"c:\\windows\\Zentorvik.exe", GetParam().hostedProgram);

    StartAndWaitForPolling();
    for (int n = 0; n < otherControls; ++n)
        ASSERT_TRUE(sim::SendControl(n % 2 == 0 ? SERVICE_CONTROL_INTERROGATE : 128u));
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    EXPECT_EQ(0, EndOfProcess());

    std::vector<std::string> statuses;
    for (const sim::Report& report : sim::Reports()) {
        statuses.push_back(StatusText(report.status));
        EXPECT_TRUE(report.delivered);
    }
    EXPECT_EQ(run.statuses, statuses);
    auto trace = sim::Trace();
    ExpectTheNormalTrace(run, ExpectedTrace(run, otherControls), trace);
    // Here, unlike under a real controller, controls come only once the worker has polled.
    EXPECT_LT(IndexOf(trace, Msg(L"ServiceWorkerThread: Entry")),
              IndexOf(trace, Msg(L"ServiceCtrlHandler: Entry")));
    if (GetParam().hostedProgram == sim::PathKind::File) {
        ExpectLaunchedProgramTerminated();
        return;
    }
    // The start went on only once the interpreter had been waited for and ended.
    ExpectInterpreterEndedAfterTheBound();
    auto calls = sim::CallLog();
    EXPECT_LT(IndexOf(calls, std::string("TerminateProcess(1460)")),
              IndexOf(calls, std::string("SetServiceStatus(4)")));
}

INSTANTIATE_TEST_SUITE_P(
    , NormalRunTest,
    ::testing::Values(Run{"Plain", 0, sim::PathKind::File},
                      Run{"TwoOtherControlsBeforeTheStop", 2, sim::PathKind::File},
                      Run{"InterpreterNeverEnds", 0, sim::PathKind::Unrunnable}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
