#include "service_run.h"

namespace {

const std::wstring kMainEntry = Msg(L"Main: Entry");
const std::wstring kMainError = Msg(L"Main: StartServiceCtrlDispatcher returned error");
const std::wstring kMainExit = Msg(L"Main: Exit");
const std::wstring kEntry = Msg(L"ServiceMain: Entry");
const std::wstring kRegisterError = Msg(L"ServiceMain: RegisterServiceCtrlHandler returned error");
const std::wstring kReportError = Msg(L"ServiceMain: SetServiceStatus returned error");
const std::wstring kStartOperations = Msg(L"ServiceMain: Performing Service Start Operations");
const std::wstring kEventError =
    Msg(L"ServiceMain: CreateEvent(g_ServiceStopEvent) returned error");
const std::wstring kThreadError = Msg(L"ServiceMain: CreateThread returned error");
const std::wstring kWaiting = Msg(L"ServiceMain: Waiting for Worker Thread to complete");
const std::wstring kSignaled = Msg(L"ServiceMain: Worker Thread Stop Event signaled");
const std::wstring kCleanup = Msg(L"ServiceMain: Performing Cleanup Operations");
const std::wstring kExit = Msg(L"ServiceMain: Exit");
const std::wstring kHandlerEntry = Msg(L"ServiceCtrlHandler: Entry");
const std::wstring kStopRequest = Msg(L"ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");
const std::wstring kHandlerReportError =
    Msg(L"ServiceCtrlHandler: SetServiceStatus returned error");
const std::wstring kHandlerExit = Msg(L"ServiceCtrlHandler: Exit");
const std::wstring kWorkerEntry = Msg(L"ServiceWorkerThread: Entry");
const std::wstring kWorkerExit = Msg(L"ServiceWorkerThread: Exit");

// The messages one routine sent, in their order. A routine runs on one thread, so only this order
// is fixed: the other threads' messages may fall anywhere in between.
std::vector<std::wstring> MessagesOf(const std::wstring& routine)
{
    std::wstring tag = Msg(routine.c_str()) + L": ";
    std::vector<std::wstring> own;
    for (const std::wstring& item : sim::Recorded().trace)
        if (item.compare(0, tag.size(), tag) == 0)
            own.push_back(item);
    return own;
}

using LifecycleTest = ServiceTest;

TEST_F(LifecycleTest, StartedFromConsoleExitsWithTheDispatcherError)
{
    sim::FailCall("StartServiceCtrlDispatcherW", 1, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    StartProcess();

    EXPECT_EQ(1063, EndOfProcess());
    sim::Record record = sim::Recorded();
    EXPECT_EQ((std::vector<std::wstring>{kMainEntry, kMainError}), record.trace);
    EXPECT_TRUE(record.reports.empty());
    EXPECT_TRUE(record.commands.empty());
}

TEST_F(LifecycleTest, HandlerRegistrationFailureAbandonsTheStart)
{
    sim::FailCall("RegisterServiceCtrlHandlerW", 1, ERROR_INVALID_NAME);

    StartProcess();
    ASSERT_TRUE(sim::WaitForServiceMainReturn());

    sim::Record record = sim::Recorded();
    EXPECT_EQ((std::vector<std::wstring>{kMainEntry, kEntry, kRegisterError, kExit}), record.trace);
    EXPECT_TRUE(record.reports.empty());
    EXPECT_TRUE(record.commands.empty());
    EXPECT_EQ(0u, CountCalls("CreateEventW"));
}

// The program launched already is terminated, and the stopped report carries the error and the
// start's checkpoint, written out: a header that changed it must fail here. A failure of that
// report is traced too.
TEST_F(LifecycleTest, StopEventFailureReportsTheErrorAndTerminatesTheLaunchedProgram)
{
    sim::FailCall("CreateEventW", 1, ERROR_NO_SYSTEM_RESOURCES);
    sim::FailCall("SetServiceStatus", 2, ERROR_INVALID_DATA);

    StartProcess();
    ASSERT_TRUE(sim::WaitForServiceMainReturn());
    sim::Disconnect();

    EXPECT_EQ(0, EndOfProcess());
    EXPECT_EQ((std::vector<std::string>{Status(SERVICE_START_PENDING, 0, NO_ERROR, 0),
                                        Status(SERVICE_STOPPED, 0, ERROR_NO_SYSTEM_RESOURCES, 1)}),
              Statuses());
    EXPECT_EQ((std::vector<std::wstring>{kMainEntry, kEntry, kStartOperations, kEventError,
                                         kReportError, kExit, kMainExit}),
              sim::Recorded().trace);
    EXPECT_EQ(0u, CountCalls("CreateThread"));
    ExpectLaunchedProgramTerminated();
}

TEST_F(LifecycleTest, WorkerThreadFailureRunsTheWorkerOnTheServiceThread)
{
    sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);

    StartAndWaitForPolling();
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));

    EXPECT_EQ(0, EndOfProcess());
    EXPECT_EQ(kNormalReports, Statuses());
    auto trace = sim::Recorded().trace;
    EXPECT_EQ(-1, IndexOf(trace, kWaiting));
    ExpectOrder(trace, {kStartOperations, kThreadError, kWorkerEntry, kHandlerEntry, kStopRequest,
                        kWorkerExit, kSignaled, kCleanup, kExit});
    ExpectLaunchedProgramTerminated();
}

class SecondStopTest : public ServiceTest, public ::testing::WithParamInterface<bool> {};

// Both stops come before the worker's first poll, which the worker then does not miss.
TEST_P(SecondStopTest, SecondStopDuringStopPendingIsOnlyTraced)
{
    bool stopPendingFails = GetParam();
    if (stopPendingFails)
        sim::FailCall("SetServiceStatus", 3, ERROR_INVALID_DATA);
    sim::HoldNewThreads(true); // the worker, so that the service stays stop pending
    StartProcess();
    ASSERT_TRUE(sim::WaitForReport(SERVICE_RUNNING));

    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));

    // Only the first stop walked, reported (and traced a failed report) and set the event.
    std::vector<std::wstring> handler = {kHandlerEntry, kStopRequest, kHandlerExit};
    if (stopPendingFails)
        handler.insert(handler.begin() + 2, kHandlerReportError);
    handler.insert(handler.end(), {kHandlerEntry, kStopRequest, kHandlerExit});
    EXPECT_EQ(handler, MessagesOf(L"ServiceCtrlHandler"));
    EXPECT_EQ(3u, sim::Recorded().reports.size());
    EXPECT_EQ(1u, CountCalls("CreateToolhelp32Snapshot"));
    EXPECT_EQ(1u, CountCalls("SetEvent"));

    sim::HoldNewThreads(false);
    EXPECT_EQ(0, EndOfProcess());
    EXPECT_EQ(kNormalReports, Statuses());
    EXPECT_TRUE(sim::Recorded().sleeps.empty());
}

INSTANTIATE_TEST_SUITE_P(StopPendingDeliveredOrNot, SecondStopTest, ::testing::Bool());

} // namespace
