#include "service_run.h"

namespace {

const std::wstring kMainEntry = Msg(L"Main: Entry");
const std::wstring kEntry = Msg(L"ServiceMain: Entry");
const std::wstring kStartOperations = Msg(L"ServiceMain: Performing Service Start Operations");
const std::wstring kExit = Msg(L"ServiceMain: Exit");
const std::wstring kHandlerEntry = Msg(L"ServiceCtrlHandler: Entry");
const std::wstring kStopRequest = Msg(L"ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");
const std::wstring kHandlerExit = Msg(L"ServiceCtrlHandler: Exit");

using LifecycleTest = ServiceTest;

// Started from a console, the dispatcher's error is the exit code; a handler that cannot be
// registered ends ServiceMain. Either way nothing is reported and nothing launched.
TEST_F(LifecycleTest, FailedDispatcherOrHandlerRegistrationEndsBeforeAnyReport)
{
    sim::FailCall("StartServiceCtrlDispatcherW", 1, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    StartProcess();
    EXPECT_EQ(1063, EndOfProcess());
    EXPECT_EQ((std::vector<std::wstring>{kMainEntry,
                                         Msg(L"Main: StartServiceCtrlDispatcher returned error")}),
              sim::Recorded().trace);
    EXPECT_EQ(std::vector<std::string>{"StartServiceCtrlDispatcherW"}, sim::Recorded().calls);

    NextCase();
    sim::FailCall("RegisterServiceCtrlHandlerW", 1, ERROR_INVALID_NAME);
    StartProcess();
    ASSERT_TRUE(sim::WaitForServiceMainReturn());
    EXPECT_EQ((std::vector<std::wstring>{
                  kMainEntry, kEntry,
                  Msg(L"ServiceMain: RegisterServiceCtrlHandler returned error"), kExit}),
              sim::Recorded().trace);
    EXPECT_EQ(
        (std::vector<std::string>{"StartServiceCtrlDispatcherW", "RegisterServiceCtrlHandlerW"}),
        sim::Recorded().calls);
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
    EXPECT_EQ(
        (std::vector<std::string>{
            "type=0x10 state=START_PENDING accepted=0x0 exit=0 specific=0 checkpoint=0 hint=0",
            "type=0x10 state=STOPPED accepted=0x0 exit=1450 specific=0 checkpoint=1 hint=0"}),
        Statuses());
    EXPECT_EQ((std::vector<std::wstring>{
                  kMainEntry, kEntry, kStartOperations,
                  Msg(L"ServiceMain: CreateEvent(g_ServiceStopEvent) returned error"),
                  Msg(L"ServiceMain: SetServiceStatus returned error"), kExit, Msg(L"Main: Exit")}),
              sim::Recorded().trace);
    EXPECT_EQ(kTerminated, Processes());
}

TEST_F(LifecycleTest, WorkerThreadFailureRunsTheWorkerOnTheServiceThread)
{
    sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);

    StartAndWaitForPolling();
    EXPECT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));

    EXPECT_EQ(0, EndOfProcess());
    EXPECT_EQ(ReadNormalRun().statuses, Statuses());
    auto trace = sim::Recorded().trace;
    EXPECT_EQ(-1, IndexOf(trace, Msg(L"ServiceMain: Waiting for Worker Thread to complete")));
    ExpectOrder(trace, {kStartOperations, Msg(L"ServiceMain: CreateThread returned error"),
                        Msg(L"ServiceWorkerThread: Entry"), kHandlerEntry, kStopRequest,
                        Msg(L"ServiceWorkerThread: Exit"),
                        Msg(L"ServiceMain: Worker Thread Stop Event signaled"),
                        Msg(L"ServiceMain: Performing Cleanup Operations"), kExit});
    EXPECT_EQ(kTerminated, Processes());
}

// Both stops come before the worker's first poll, which the worker then does not miss; only the
// first walked, reported (and traced a report that failed) and set the event.
TEST_F(LifecycleTest, SecondStopDuringStopPendingIsOnlyTraced)
{
    for (bool stopPendingFails : {false, true}) {
        SCOPED_TRACE(stopPendingFails ? "stop pending not delivered" : "stop pending delivered");
        NextCase();
        if (stopPendingFails)
            sim::FailCall("SetServiceStatus", 3, ERROR_INVALID_DATA);
        sim::HoldNewThreads(true); // the worker, so that the service stays stop pending
        StartProcess();
        ASSERT_TRUE(sim::WaitForCall("SetServiceStatus(4)"));

        ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));
        ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP));

        std::vector<std::wstring> handler = {kHandlerEntry, kStopRequest, kHandlerExit};
        if (stopPendingFails)
            handler.insert(handler.begin() + 2,
                           Msg(L"ServiceCtrlHandler: SetServiceStatus returned error"));
        handler.insert(handler.end(), {kHandlerEntry, kStopRequest, kHandlerExit});
        // Only the handler's own order is fixed: the other threads' messages fall in between.
        std::vector<std::wstring> handled;
        for (const std::wstring& message : sim::Recorded().trace)
            if (RoutineOf(message) == L"ServiceCtrlHandler")
                handled.push_back(message);
        EXPECT_EQ(handler, handled);
        EXPECT_EQ(1u, sim::CountCalls("CreateToolhelp32Snapshot"));
        EXPECT_EQ(1u, sim::CountCalls("SetEvent"));

        sim::HoldNewThreads(false);
        EXPECT_EQ(0, EndOfProcess());
        EXPECT_EQ(ReadNormalRun().statuses, Statuses());
        EXPECT_EQ(0u, sim::CountCalls("Sleep"));
    }
}

} // namespace
