#include "service_run.h"

namespace {

using TerminationTest = ServiceTest;

void ExpectTerminated(DWORD id)
{
    sim::Process process = sim::FindProcess(id);
    EXPECT_FALSE(process.running) << ::testing::PrintToString(process.exeFile) << " " << id;
    EXPECT_EQ(0u, process.exitCode) << id;
}

void ExpectRunning(DWORD id)
{
    EXPECT_TRUE(sim::FindProcess(id).running)
        << ::testing::PrintToString(sim::FindProcess(id).exeFile) << " " << id;
}

TEST_F(TerminationTest, TerminatesEveryExactNameAndNoDecoy)
{
    std::vector<DWORD> matches, decoys;
    matches.push_back(sim::AddProcess(L"Zentorvik.exe"));
    decoys.push_back(sim::AddProcess(L"svchost.exe"));
    matches.push_back(sim::AddProcess(L"Zentorvik.exe"));
    decoys.push_back(sim::AddProcess(L"XZentorvik.exe"));
    decoys.push_back(sim::AddProcess(L"Zentorvik.exe.bak"));
    decoys.push_back(sim::AddProcess(L"Zentorvik"));
    decoys.push_back(sim::AddProcess(L"ZentorvikX.exe"));
    decoys.push_back(sim::AddProcess(L"Zentorv\u0131k.exe")); // dotless i
    decoys.push_back(sim::AddProcess(L"ZENTORV\u0130K.EXE")); // dotted capital I
    matches.push_back(sim::AddProcess(L"ZENTORVIK.EXE"));
    matches.push_back(sim::AddProcess(L"zentorvik.Exe"));
    matches.push_back(sim::AddProcess(L"Zentorvik.exe"));

    TerminateHostedProcesses();

    for (DWORD id : matches)
        ExpectTerminated(id);
    for (DWORD id : decoys)
        ExpectRunning(id);
    EXPECT_EQ(1u, CountCalls("CreateToolhelp32Snapshot(0xf, 0)"));
    EXPECT_EQ(matches.size(), CountCalls("OpenProcess(0x1, 0, "));
    EXPECT_EQ(matches.size(), CountCalls("OpenProcess"));
    EXPECT_EQ(matches.size(), CountCalls("TerminateProcess(0)"));
}

TEST_F(TerminationTest, NoInstanceReadsEveryEntryAndTerminatesNothing)
{
    for (const wchar_t* name : {L"System", L"services.exe", L"XZentorvik.exe"})
        sim::AddProcess(name);

    TerminateHostedProcesses();

    EXPECT_EQ(1, CallCount(sim::Call::Process32FirstW));
    EXPECT_EQ(3, CallCount(sim::Call::Process32NextW));
    EXPECT_EQ(0, CallCount(sim::Call::OpenProcess));
}

TEST_F(TerminationTest, ProcessThatCannotBeOpenedIsSkipped)
{
    DWORD first = sim::AddProcess(L"Zentorvik.exe");
    DWORD denied = sim::AddProcess(L"Zentorvik.exe");
    DWORD last = sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall(sim::Call::OpenProcess, 2, ERROR_ACCESS_DENIED);

    TerminateHostedProcesses();

    ExpectTerminated(first);
    ExpectRunning(denied);
    ExpectTerminated(last);
    EXPECT_EQ(2u, CountCalls("TerminateProcess"));
}

TEST_F(TerminationTest, FailedTerminationIsIgnoredAndTheWalkGoesOn)
{
    DWORD refusing = sim::AddProcess(L"Zentorvik.exe");
    DWORD next = sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall(sim::Call::TerminateProcess, 1, ERROR_ACCESS_DENIED);

    TerminateHostedProcesses();

    ExpectRunning(refusing);
    ExpectTerminated(next);
    EXPECT_EQ(2u, CountCalls("CloseHandle(process)"));
}

TEST_F(TerminationTest, SnapshotFailureTerminatesNothing)
{
    DWORD id = sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall(sim::Call::CreateToolhelp32Snapshot, 1, ERROR_NOT_ENOUGH_MEMORY);

    TerminateHostedProcesses();

    ExpectRunning(id);
    EXPECT_EQ(1, CallCount(sim::Call::CreateToolhelp32Snapshot)) << "only a bad length is retried";
    EXPECT_EQ(0, CallCount(sim::Call::Process32FirstW));
    EXPECT_EQ(0u, CountCalls("CloseHandle"));
}

// While a module of the process loads, a snapshot with its module list fails with a bad length.
TEST_F(TerminationTest, SnapshotOfChangingModulesIsTakenAgain)
{
    DWORD id = sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall(sim::Call::CreateToolhelp32Snapshot, 1, ERROR_BAD_LENGTH);
    sim::FailCall(sim::Call::CreateToolhelp32Snapshot, 2, ERROR_BAD_LENGTH);

    TerminateHostedProcesses();

    ExpectTerminated(id);
    EXPECT_EQ(3, CallCount(sim::Call::CreateToolhelp32Snapshot));
    EXPECT_EQ(1u, CountCalls("CloseHandle(snapshot)"));
}

TEST_F(TerminationTest, SnapshotThatKeepsChangingIsGivenUpAfterFiveTries)
{
    DWORD id = sim::AddProcess(L"Zentorvik.exe");
    for (int nth = 1; nth <= 6; ++nth)
        sim::FailCall(sim::Call::CreateToolhelp32Snapshot, nth, ERROR_BAD_LENGTH);

    TerminateHostedProcesses();

    ExpectRunning(id);
    EXPECT_EQ(5, CallCount(sim::Call::CreateToolhelp32Snapshot));
    EXPECT_EQ(0, CallCount(sim::Call::Process32FirstW));
}

TEST_F(TerminationTest, UnreadableFirstEntryClosesTheSnapshotAndGivesUp)
{
    DWORD id = sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall(sim::Call::Process32FirstW, 1, ERROR_NO_MORE_FILES);

    TerminateHostedProcesses();

    ExpectRunning(id);
    EXPECT_EQ(1, CallCount(sim::Call::Process32FirstW));
    EXPECT_EQ(0, CallCount(sim::Call::Process32NextW));
    EXPECT_EQ(1u, CountCalls("CloseHandle(snapshot)"));
}

} // namespace
