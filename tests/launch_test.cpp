#include "service_run.h"

namespace {

const wchar_t kHostedPath[] = L"c:\\windows\\Zentorvik.exe";
const char kLookUp[] = "GetFileAttributesW(c:\\windows\\Zentorvik.exe)";

using LaunchTest = ServiceTest;

TEST_F(LaunchTest, ProgramThatIsAFileIsStartedByTheSystemInterpreterWithinTheBound)
{
    LaunchHostedProgram();

    EXPECT_EQ((std::vector<std::string>{
                  kLookUp, "GetSystemDirectoryW", kInterpreterCreation, "CloseHandle(thread)",
                  "WaitForSingleObject(process, 10000)", "CloseHandle(process)"}),
              sim::CallLog());
    EXPECT_EQ(std::vector<std::string>{kInterpreterCommandLine}, sim::Commands());
    auto interpreters = ProcessesNamed(L"cmd.exe");
    ASSERT_EQ(1u, interpreters.size());
    EXPECT_FALSE(interpreters[0].running);
    EXPECT_EQ(0u, interpreters[0].exitCode);
    auto programs = ProcessesNamed(L"Zentorvik.exe");
    ASSERT_EQ(1u, programs.size());
    EXPECT_TRUE(programs[0].running);
}

// A program Windows refuses to run: "start" waits on the shell's error box.
TEST_F(LaunchTest, InterpreterThatNeverEndsIsEndedAfterTheBound)
{
    sim::SetPath(kHostedPath, sim::PathKind::Unrunnable);

    LaunchHostedProgram();

    ExpectInterpreterEndedAfterTheBound();
}

TEST_F(LaunchTest, InterpreterThatCannotBeEndedStillHasItsHandleClosed)
{
    sim::SetPath(kHostedPath, sim::PathKind::Unrunnable);
    sim::FailCall(sim::Call::TerminateProcess, 1, ERROR_ACCESS_DENIED);

    LaunchHostedProgram();

    EXPECT_EQ("CloseHandle(process)", sim::CallLog().back());
    auto interpreters = ProcessesNamed(L"cmd.exe");
    ASSERT_EQ(1u, interpreters.size());
    EXPECT_TRUE(interpreters[0].running);
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

    EXPECT_EQ(GetParam().calls, sim::CallLog());
    EXPECT_TRUE(sim::Processes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    , NoLaunchTest,
    ::testing::Values(
        NoLaunch{"ProgramIsADirectory",
                 [] { sim::SetPath(kHostedPath, sim::PathKind::Directory); },
                 {kLookUp}},
        NoLaunch{"ProgramIsMissing",
                 [] { sim::SetPath(kHostedPath, sim::PathKind::Missing); },
                 {kLookUp}},
        NoLaunch{"LookUpFails",
                 [] { sim::FailCall(sim::Call::GetFileAttributesW, 1, ERROR_ACCESS_DENIED); },
                 {kLookUp}},
        NoLaunch{"NoSystemDirectory",
                 [] { sim::FailCall(sim::Call::GetSystemDirectoryW, 1, ERROR_NOT_ENOUGH_MEMORY); },
                 {kLookUp, "GetSystemDirectoryW"}},
        NoLaunch{"InterpreterCannotBeCreated",
                 [] { sim::FailCall(sim::Call::CreateProcessW, 1, ERROR_ACCESS_DENIED); },
                 {kLookUp, "GetSystemDirectoryW", kInterpreterCreation}}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
