#include "service_run.h"

namespace {

const wchar_t kHostedPath[] = L"c:\\windows\\Zentorvik.exe";
const char kLookUp[] = "GetFileAttributesW(c:\\windows\\Zentorvik.exe)";

using LaunchTest = ServiceTest;

TEST_F(LaunchTest, ProgramThatIsAFileIsStartedByTheSystemInterpreterWithinTheBound)
{
    LaunchHostedProgram();

    sim::Record record = sim::Recorded();
    EXPECT_EQ((std::vector<std::string>{
                  kLookUp, "GetSystemDirectoryW", kInterpreterCreation, "CloseHandle(thread)",
                  "WaitForSingleObject(process, 10000)", "CloseHandle(process)"}),
              record.calls);
    EXPECT_EQ(std::vector<std::string>{kInterpreterCommandLine}, record.commands);
    EXPECT_EQ((std::vector<std::wstring>{L"cmd.exe exit 0", L"Zentorvik.exe running"}),
              Processes());
}

// A program Windows refuses to run: "start" waits on the shell's error box, and the interpreter
// that cannot be ended either is left behind with its handle closed.
TEST_F(LaunchTest, InterpreterThatCannotBeEndedStillHasItsHandleClosed)
{
    sim::SetPath(kHostedPath, sim::PathKind::Unrunnable);
    sim::FailCall("TerminateProcess", 1, ERROR_ACCESS_DENIED);

    LaunchHostedProgram();

    EXPECT_EQ(
        (std::vector<std::string>{kLookUp, "GetSystemDirectoryW", kInterpreterCreation,
                                  "CloseHandle(thread)", "WaitForSingleObject(process, 10000)",
                                  "TerminateProcess(1460)", "CloseHandle(process)"}),
        sim::Recorded().calls);
    EXPECT_EQ(std::vector<std::wstring>{L"cmd.exe running"}, Processes());
}

struct NoLaunch {
    const char* name;
    void (*arrange)();
    std::vector<std::string> calls;
};

void PrintTo(const NoLaunch& noLaunch, std::ostream* os)
{
    *os << noLaunch.name;
}

class NoLaunchTest : public ServiceTest, public ::testing::WithParamInterface<NoLaunch> {};

TEST_P(NoLaunchTest, NothingRunsAndNothingIsLeftOpen)
{
    GetParam().arrange();

    LaunchHostedProgram();

    sim::Record record = sim::Recorded();
    EXPECT_EQ(GetParam().calls, record.calls);
    EXPECT_TRUE(record.processes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    , NoLaunchTest,
    ::testing::Values(NoLaunch{"ProgramIsADirectory",
                               [] { sim::SetPath(kHostedPath, sim::PathKind::Directory); },
                               {kLookUp}},
                      NoLaunch{"ProgramIsMissing",
                               [] { sim::SetPath(kHostedPath, sim::PathKind::Missing); },
                               {kLookUp}},
                      NoLaunch{"LookUpFails",
                               [] { sim::FailCall("GetFileAttributesW", 1, ERROR_ACCESS_DENIED); },
                               {kLookUp}},
                      NoLaunch{
                          "NoSystemDirectory",
                          [] { sim::FailCall("GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY); },
                          {kLookUp, "GetSystemDirectoryW"}},
                      NoLaunch{"InterpreterCannotBeCreated",
                               [] { sim::FailCall("CreateProcessW", 1, ERROR_ACCESS_DENIED); },
                               {kLookUp, "GetSystemDirectoryW", kInterpreterCreation}}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
