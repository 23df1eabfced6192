#include "service_run.h"

namespace {

using TerminationTest = ServiceTest;

const char kSnapshot[] = "CreateToolhelp32Snapshot(0xf, 0)";

TEST_F(TerminationTest, TerminatesEveryExactNameAndNoDecoy)
{
    const std::vector<std::pair<std::wstring, bool>> processes = {
        {L"Zentorvik.exe", true},       {L"svchost.exe", false},        {L"Zentorvik.exe", true},
        {L"XZentorvik.exe", false},     {L"Zentorvik.exe.bak", false},  {L"Zentorvik", false},
        {L"ZentorvikX.exe", false},     {L"Zentorv\u0131k.exe", false}, // dotless i
        {L"ZENTORV\u0130K.EXE", false},                                 // dotted capital I
        {L"ZENTORVIK.EXE", true},       {L"zentorvik.Exe", true},       {L"Zentorvik.exe", true}};
    std::vector<std::wstring> expected;
    for (const auto& [name, matches] : processes) {
        sim::AddProcess(name);
        expected.push_back(name + (matches ? L" exit 0" : L" running"));
    }

    TerminateHostedProcesses();

    EXPECT_EQ(expected, Processes());
    EXPECT_EQ(1u, CountCalls(kSnapshot));
    EXPECT_EQ(5u, CountCalls("OpenProcess(0x1, 0, "));
    EXPECT_EQ(5u, CountCalls("OpenProcess"));
}

TEST_F(TerminationTest, NoInstanceReadsEveryEntryAndTerminatesNothing)
{
    for (const wchar_t* name : {L"System", L"services.exe", L"XZentorvik.exe"})
        sim::AddProcess(name);

    TerminateHostedProcesses();

    EXPECT_EQ(
        (std::vector<std::string>{kSnapshot, "Process32FirstW", "Process32NextW", "Process32NextW",
                                  "Process32NextW", "CloseHandle(snapshot)"}),
        sim::Recorded().calls);
}

// A process that cannot be opened, or refuses to end, is skipped; the walk goes on.
TEST_F(TerminationTest, ProcessThatCannotBeOpenedOrEndedIsSkipped)
{
    for (int n = 0; n < 3; ++n)
        sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall("OpenProcess", 2, ERROR_ACCESS_DENIED);
    sim::FailCall("TerminateProcess", 2, ERROR_ACCESS_DENIED);

    TerminateHostedProcesses();

    EXPECT_EQ((std::vector<std::string>{
                  kSnapshot, "Process32FirstW", "OpenProcess(0x1, 0, 1000)", "TerminateProcess(0)",
                  "CloseHandle(process)", "Process32NextW", "OpenProcess(0x1, 0, 1004)",
                  "Process32NextW", "OpenProcess(0x1, 0, 1008)", "TerminateProcess(0)",
                  "CloseHandle(process)", "Process32NextW", "CloseHandle(snapshot)"}),
              sim::Recorded().calls);
    EXPECT_EQ((std::vector<std::wstring>{L"Zentorvik.exe exit 0", L"Zentorvik.exe running",
                                         L"Zentorvik.exe running"}),
              Processes());
}

// Only a bad length, which a module of the process loading or unloading causes, is retried, and
// five times at most. A failed first read gives up too.
TEST_F(TerminationTest, FailedSnapshotOrFirstEntryTerminatesNothing)
{
    const struct {
        std::vector<std::pair<const char*, DWORD>> faults;
        std::vector<std::string> calls;
    } cases[] = {
        {{{"CreateToolhelp32Snapshot", ERROR_NOT_ENOUGH_MEMORY}}, {kSnapshot}},
        {std::vector<std::pair<const char*, DWORD>>(6,
                                                    {"CreateToolhelp32Snapshot", ERROR_BAD_LENGTH}),
         std::vector<std::string>(5, kSnapshot)},
        {{{"Process32FirstW", ERROR_NO_MORE_FILES}},
         {kSnapshot, "Process32FirstW", "CloseHandle(snapshot)"}},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::AddProcess(L"Zentorvik.exe");
        for (size_t n = 0; n < c.faults.size(); ++n)
            sim::FailCall(c.faults[n].first, static_cast<int>(n) + 1, c.faults[n].second);

        TerminateHostedProcesses();

        EXPECT_EQ(c.calls, sim::Recorded().calls);
        EXPECT_EQ(std::vector<std::wstring>{L"Zentorvik.exe running"}, Processes());
    }
}

TEST_F(TerminationTest, SnapshotOfChangingModulesIsTakenAgain)
{
    sim::AddProcess(L"Zentorvik.exe");
    sim::FailCall("CreateToolhelp32Snapshot", 1, ERROR_BAD_LENGTH);
    sim::FailCall("CreateToolhelp32Snapshot", 2, ERROR_BAD_LENGTH);

    TerminateHostedProcesses();

    EXPECT_EQ((std::vector<std::string>{kSnapshot, kSnapshot, kSnapshot, "Process32FirstW",
                                        "OpenProcess(0x1, 0, 1000)", "TerminateProcess(0)",
                                        "CloseHandle(process)", "Process32NextW",
                                        "CloseHandle(snapshot)"}),
              sim::Recorded().calls);
}

} // namespace
