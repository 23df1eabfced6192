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

// The messages of a run with that many controls other than stop: each adds its messages before
// the first of them in the normal run.
std::vector<std::wstring> ExpectedTrace(const NormalRun& run, size_t otherControls)
{
    std::vector<std::wstring> expected = run.trace;
    auto at = std::find(expected.begin(), expected.end(), run.otherControl.front());
    for (size_t n = 0; n < otherControls; ++n)
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
    std::vector<std::wstring> present;
    for (const std::wstring& message : expected)
        if (run.optional.count(message) == 0 || IndexOf(received, message) != -1)
            present.push_back(message);
    EXPECT_EQ(Sorted(present), Sorted(received));
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

// The launch's calls from the interpreter's creation to the closing of its process handle.
std::vector<std::string> LaunchCallsFromCreation()
{
    auto calls = sim::Recorded().calls;
    auto created = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.rfind("CreateProcessW(", 0) == 0;
    });
    auto closed = std::find(created, calls.end(), "CloseHandle(process)");
    return std::vector<std::string>(created, closed == calls.end() ? closed : closed + 1);
}

// The start went on only once the interpreter, which never ended, had been waited for 10 s and
// ended; no program of the launch runs.
void ExpectInterpreterEndedAfterTheBound()
{
    EXPECT_EQ(std::vector<std::string>{kInterpreterCommandLine}, sim::Recorded().commands);
    EXPECT_EQ((std::vector<std::string>{kInterpreterCreation, "CloseHandle(thread)",
                                        "WaitForSingleObject(process, 10000)",
                                        "TerminateProcess(1460)", "CloseHandle(process)"}),
              LaunchCallsFromCreation());
    EXPECT_EQ(std::vector<std::wstring>{L"cmd.exe exit 1460"}, Processes());
    auto calls = sim::Recorded().calls;
    EXPECT_LT(IndexOf(calls, std::string("TerminateProcess(1460)")),
              IndexOf(calls, std::string("SetServiceStatus(4)")));
}

// A missing program is never handed to the interpreter, whose "start" would wait on the shell's
// "cannot find" box until the launch gives up on it.
void ExpectNothingLaunched()
{
    EXPECT_TRUE(sim::Recorded().commands.empty());
}

struct Variant {
    const char* name;
    std::vector<DWORD> otherControls; // sent before the stop
    sim::PathKind hostedProgram;
    void (*expectLaunch)();
};

void PrintTo(const Variant& variant, std::ostream* os)
{
    *os << variant.name;
}

class NormalRunTest : public ServiceTest, public ::testing::WithParamInterface<Variant> {};

TEST_P(NormalRunTest, StatusesAndTraceAreTheNormalRunsOfTheEndToEndReader)
{
    const NormalRun run = ReadNormalRun();
    const Variant& param = GetParam();
    sim::SetPath(L"c:\\windows\\Zentorvik.exe", param.hostedProgram);

    StartAndWaitForPolling();
    for (DWORD control : param.otherControls)
        ASSERT_TRUE(sim::SendControl(control));
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    EXPECT_EQ(0, EndOfProcess());

    sim::Record record = sim::Recorded();
    std::vector<std::string> statuses;
    for (const sim::Report& report : record.reports) {
        statuses.push_back(StatusText(report.status));
        EXPECT_TRUE(report.delivered);
    }
    EXPECT_EQ(run.statuses, statuses);
    ExpectTheNormalTrace(run, ExpectedTrace(run, param.otherControls.size()), record.trace);
    // Here, unlike under a real controller, controls come only once the worker has polled.
    EXPECT_LT(IndexOf(record.trace, Msg(L"ServiceWorkerThread: Entry")),
              IndexOf(record.trace, Msg(L"ServiceCtrlHandler: Entry")));
    // Only the stop walks the processes.
    EXPECT_EQ(1u, CountCalls("CreateToolhelp32Snapshot"));
    param.expectLaunch();
}

// Every other control a service may be sent: only the stop is accepted.
const std::vector<DWORD> kOtherControls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                                           SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                                           128u};

INSTANTIATE_TEST_SUITE_P(
    , NormalRunTest,
    ::testing::Values(
        Variant{"Plain", {}, sim::PathKind::File, ExpectLaunchedProgramTerminated},
        Variant{"OtherControlsBeforeTheStop", kOtherControls, sim::PathKind::File,
                ExpectLaunchedProgramTerminated},
        Variant{"InterpreterNeverEnds",
                {},
                sim::PathKind::Unrunnable,
                ExpectInterpreterEndedAfterTheBound},
        Variant{"HostedProgramMissing", {}, sim::PathKind::Missing, ExpectNothingLaunched}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
