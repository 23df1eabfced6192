#include "service_run.h"

namespace {

const wchar_t kHostedPath[] = L"c:\\windows\\Zentorvik.exe";
const char kLookUp[] = "GetFileAttributesW(c:\\windows\\Zentorvik.exe)";

using LaunchTest = ServiceTest;

TEST_F(LaunchTest, ProgramThatIsAFileIsLaunchedWithTheFixedCommand)
{
    LaunchHostedProgram();

    EXPECT_EQ((std::vector<std::string>{kLookUp, "system"}), sim::CallLog());
    EXPECT_EQ(std::vector<std::string>{"start c:\\windows\\Zentorvik.exe -s"}, sim::Commands());
    ASSERT_EQ(1u, sim::Processes().size());
    EXPECT_TRUE(sim::Processes()[0].running);
}

struct NoProgram {
    const char* name;
    sim::PathKind kind;
    DWORD lookUpError;
};

void PrintTo(const NoProgram& noProgram, std::ostream* os)
{
    *os << noProgram.name;
}

class SkippedLaunchTest : public ServiceTest, public ::testing::WithParamInterface<NoProgram> {};

TEST_P(SkippedLaunchTest, NothingReachesTheInterpreter)
{
    sim::SetPath(kHostedPath, GetParam().kind);
    if (GetParam().lookUpError != NO_ERROR)
        sim::FailCall(sim::Call::GetFileAttributesW, 1, GetParam().lookUpError);

    LaunchHostedProgram();

    EXPECT_EQ(std::vector<std::string>{kLookUp}, sim::CallLog());
    EXPECT_TRUE(sim::Processes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    , SkippedLaunchTest,
    ::testing::Values(NoProgram{"Directory", sim::PathKind::Directory, NO_ERROR},
                      NoProgram{"LookUpFails", sim::PathKind::File, ERROR_ACCESS_DENIED}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
