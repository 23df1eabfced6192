// The hosted program's launch and termination, each on its own.
#include "service_run.h"

namespace {

using HostedTest = ServiceTest;

struct Fault {
    const char* call = "";
    int nth = 0;
    DWORD error = 0;
    int times = 1;
};

const wchar_t kHostedPath[] = L"c:\\windows\\Zentorvik.exe";
const char kLookUp[] = "GetFileAttributesW(c:\\windows\\Zentorvik.exe)";
const char kSnapshot[] = "CreateToolhelp32Snapshot(0xf, 0)";
// The launch: the interpreter of the system directory, with no console and no handle inherited.
const char kInterpreterCreation[] =
    "CreateProcessW(C:\\Windows\\system32\\cmd.exe, \"C:\\Windows\\system32\\cmd.exe\" /c start "
    "c:\\windows\\Zentorvik.exe -s, (nil), (nil), 0, 0x8, (nil), (nil))";

// A missing program, a directory or a failed step launches nothing. A program Windows refuses to
// run leaves "start" waiting on the shell's error box: an interpreter that cannot be ended either
// is left behind with its handle closed.
TEST_F(HostedTest, LaunchRunsTheSystemInterpreterForAFileWithinTheBoundAndLeavesNothingOpen)
{
    const struct {
        sim::PathKind program;
        Fault fault;
        std::vector<std::string> calls;
        std::vector<std::wstring> processes = {};
    } cases[] = {
        {sim::PathKind::File,
         {},
         {kLookUp, "GetSystemDirectoryW", kInterpreterCreation, "CloseHandle(thread)",
          "WaitForSingleObject(process, 10000)", "CloseHandle(process)"},
         {L"cmd.exe exit 0", L"Zentorvik.exe running"}},
        {sim::PathKind::Unrunnable,
         {"TerminateProcess", 1, ERROR_ACCESS_DENIED},
         {kLookUp, "GetSystemDirectoryW", kInterpreterCreation, "CloseHandle(thread)",
          "WaitForSingleObject(process, 10000)", "TerminateProcess(1460)", "CloseHandle(process)"},
         {L"cmd.exe running"}},
        {sim::PathKind::Directory, {}, {kLookUp}},
        {sim::PathKind::Missing, {}, {kLookUp}},
        {sim::PathKind::File, {"GetFileAttributesW", 1, ERROR_ACCESS_DENIED}, {kLookUp}},
        {sim::PathKind::File,
         {"GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY},
         {kLookUp, "GetSystemDirectoryW"}},
        {sim::PathKind::File,
         {"CreateProcessW", 1, ERROR_ACCESS_DENIED},
         {kLookUp, "GetSystemDirectoryW", kInterpreterCreation}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        NextCase();
        sim::SetPath(kHostedPath, c.program);
        sim::FailCall(c.fault.call, c.fault.nth, c.fault.error);

        LaunchHostedProgram();

        EXPECT_EQ(c.calls, sim::Recorded().calls);
        EXPECT_EQ(c.processes, Processes());
    }
}

TEST_F(HostedTest, TerminationEndsEveryExactNameAndNoDecoy)
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
    EXPECT_EQ(5u, sim::CountCalls("OpenProcess")) << "a decoy was opened";
}

// The calls are the whole record: what was terminated follows from them. A process that cannot be
// opened, or refuses to end, is skipped; the walk goes on to the last entry. Only a bad length,
// which a module of the process loading or unloading causes, is retried, and five times at most.
// A failed first read gives up too.
TEST_F(HostedTest, TerminationWalkSkipsWhatFailsAndRetriesOnlyASnapshotOfChangingModules)
{
    const struct {
        int instances;
        std::vector<Fault> faults;
        std::vector<std::string> calls;
    } cases[] = {
        {3,
         {{"OpenProcess", 2, ERROR_ACCESS_DENIED}, {"TerminateProcess", 2, ERROR_ACCESS_DENIED}},
         {kSnapshot, "Process32FirstW", "OpenProcess(0x1, 0, 1000)", "TerminateProcess(0)",
          "CloseHandle(process)", "Process32NextW", "OpenProcess(0x1, 0, 1004)", "Process32NextW",
          "OpenProcess(0x1, 0, 1008)", "TerminateProcess(0)", "CloseHandle(process)",
          "Process32NextW", "CloseHandle(snapshot)"}},
        {1,
         {{"CreateToolhelp32Snapshot", 1, ERROR_BAD_LENGTH, 2}},
         {kSnapshot, kSnapshot, kSnapshot, "Process32FirstW", "OpenProcess(0x1, 0, 1000)",
          "TerminateProcess(0)", "CloseHandle(process)", "Process32NextW",
          "CloseHandle(snapshot)"}},
        {1,
         {{"CreateToolhelp32Snapshot", 1, ERROR_BAD_LENGTH, 6}},
         std::vector<std::string>(5, kSnapshot)},
        {1, {{"CreateToolhelp32Snapshot", 1, ERROR_NOT_ENOUGH_MEMORY}}, {kSnapshot}},
        {1,
         {{"Process32FirstW", 1, ERROR_NO_MORE_FILES}},
         {kSnapshot, "Process32FirstW", "CloseHandle(snapshot)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        NextCase();
        for (int n = 0; n < c.instances; ++n)
            sim::AddProcess(L"Zentorvik.exe");
        for (const Fault& fault : c.faults)
            sim::FailCall(fault.call, fault.nth, fault.error, fault.times);

        TerminateHostedProcesses();

        EXPECT_EQ(c.calls, sim::Recorded().calls);
    }
}

} // namespace
