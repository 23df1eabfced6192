// The service on the simulated platform sends the normal run's statuses and messages in its orders.
#include "service_run.h"

#include <map>

namespace {

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

// The messages by the thread that sends them ("?" for a routine the run does not know), each
// thread's in their order.
std::map<std::string, std::vector<std::wstring>> ByThread(const NormalRun& run,
                                                          const std::vector<std::wstring>& messages)
{
    std::map<std::string, std::vector<std::wstring>> byThread;
    for (const std::wstring& message : messages) {
        auto found = run.threadOf.find(RoutineOf(message));
        byThread[found == run.threadOf.end() ? "?" : found->second].push_back(message);
    }
    return byThread;
}

// Each expected message as often as expected and nothing else, each thread's messages in their
// order, and the first of each `after` pair before the second.
void ExpectTheNormalTrace(const NormalRun& run, const std::vector<std::wstring>& expected,
                          const std::vector<std::wstring>& received)
{
    EXPECT_EQ(ByThread(run, expected), ByThread(run, received));
    for (const auto& [first, second] : run.after)
        ExpectOrder(received, {first, second});
}

struct Variant {
    const char* name;
    sim::PathKind hostedProgram;
    std::vector<std::wstring> processes;   // the process table at the end
    std::vector<DWORD> otherControls = {}; // sent before the stop
    int failedReport = 0;                  // counted from 1 (0: none)
};

// By report, the message its routine sends right before the report; when the report fails, the
// routine traces that, next.
const wchar_t* const kBeforeFailedReport[] = {nullptr, L"ServiceMain: Entry",
                                              L"ServiceMain: Performing Service Start Operations",
                                              L"ServiceCtrlHandler: SERVICE_CONTROL_STOP Request",
                                              L"ServiceMain: Performing Cleanup Operations"};

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
    sim::FailCall("SetServiceStatus", param.failedReport, ERROR_INVALID_DATA);

    StartAndWaitForPolling();
    for (DWORD control : param.otherControls)
        ASSERT_TRUE(sim::SendControl(control));
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(sim::WaitForServiceMainReturn());
    sim::Disconnect(); // the controller never hears of a failed stopped report
    EXPECT_EQ(0, EndOfProcess());

    sim::Record record = sim::Recorded();
    EXPECT_EQ(run.statuses, Statuses());
    std::vector<std::wstring> expected = ExpectedTrace(run, param.otherControls.size());
    if (const wchar_t* before = kBeforeFailedReport[param.failedReport]; before != nullptr)
        expected.insert(
            std::find(expected.begin(), expected.end(), Msg(before)) + 1,
            Msg((RoutineOf(Msg(before)) + L": SetServiceStatus returned error").c_str()));
    ExpectTheNormalTrace(run, expected, record.trace);
    EXPECT_EQ(param.processes, Processes());

    // The launch while start pending, over (the interpreter's handle closed) before the running
    // report; the worker once running. At the stop, and only then, the walk before the stop
    // pending report, the stop event closed before the stopped one.
    ExpectOrder<std::string>(record.calls,
                             {"RegisterServiceCtrlHandlerW", "SetServiceStatus(2)",
                              "GetFileAttributesW(c:\\windows\\Zentorvik.exe)",
                              "CreateEventW((nil), 1, 0, (nil))", "SetServiceStatus(4)",
                              "CreateThread((nil), 0, (nil), 0, (nil))"});
    EXPECT_LT(IndexOf(record.calls, std::string("CloseHandle(process)")),
              IndexOf(record.calls, std::string("SetServiceStatus(4)")));
    ExpectOrder<std::string>(record.calls,
                             {"CreateToolhelp32Snapshot(0xf, 0)", "SetServiceStatus(3)", "SetEvent",
                              "CloseHandle(event)", "SetServiceStatus(1)"});
    EXPECT_EQ(1u, sim::CountCalls("CreateToolhelp32Snapshot"));
    // The worker polls without waiting and sleeps the full interval in between.
    const size_t polls = sim::CountCalls("WaitForSingleObject(event, 0)");
    EXPECT_EQ(polls, sim::CountCalls("WaitForSingleObject(event"));
    EXPECT_EQ(polls - 1, sim::CountCalls("Sleep(3000)"));
    EXPECT_EQ(polls - 1, sim::CountCalls("Sleep"));
    EXPECT_EQ(1u, sim::CountCalls("WaitForSingleObject(thread, 4294967295)"));
}

// Every other control a service may be sent: only the stop is accepted.
const std::vector<DWORD> kOtherControls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                                           SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                                           128u};

// A missing program is never handed to the interpreter, whose "start" would wait on the shell's
// "cannot find" box; one Windows refuses to run leaves the interpreter waiting until the launch
// ends it. A failed report changes nothing but a message.
INSTANTIATE_TEST_SUITE_P(
    , NormalRunTest,
    ::testing::Values(
        Variant{"Plain", sim::PathKind::File, kTerminated},
        Variant{"OtherControlsBeforeTheStop", sim::PathKind::File, kTerminated, kOtherControls},
        Variant{"InterpreterNeverEnds", sim::PathKind::Unrunnable, {L"cmd.exe exit 1460"}},
        Variant{"HostedProgramMissing", sim::PathKind::Missing, {}},
        Variant{"Report1Fails", sim::PathKind::File, kTerminated, {}, 1},
        Variant{"Report2Fails", sim::PathKind::File, kTerminated, {}, 2},
        Variant{"Report3Fails", sim::PathKind::File, kTerminated, {}, 3},
        Variant{"Report4Fails", sim::PathKind::File, kTerminated, {}, 4}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
