// Git status against stand-ins: the run, its reply, and the once-only search for git (the real
// git is the end-to-end test's); the Time Machine backup list against a stand-in backup tool.

#include <gtest/gtest.h>

#include <future>

#include "care/care_services.h"
#include "care/git_status.h"
#include "support/files.h"
#include "support/tool_harness.h"

namespace companion::care {
namespace {

namespace fs = std::filesystem;
using service::msg::gitStatusWithRoot;
using service::msg::timeMachineBackupsWithReply;
using namespace companion::testing;

const std::vector<std::string> statusArguments = {"status", "--porcelain=v1", "-z", "--branch",
                                                  "--untracked-files=normal"};
using GitReply = std::tuple<int32_t, wire::Bytes>;
const GitReply noStatus{-1, {}};

wire::Bytes bytes(const std::string& text) { return {text.begin(), text.end()}; }

class GitStatusTest : public ::testing::Test {
protected:
    GitStatusTest() { h.platform.environment = [this] { return environment; }; }

    fs::path at(const std::string& relative) const { return h.files.path() / relative; }

    ToolHarness h{installCareServices};
    Environment environment{{"PATH", "/usr/bin:/bin"},
                            {"HOME", h.home.str()},
                            {"GIT_CONFIG_NOSYSTEM", "1"},
                            {"LC_ALL", "fr_FR.UTF-8"},
                            {"GIT_OPTIONAL_LOCKS", "1"}};
};

// Roots that are not existing absolute folders are refused without running git.
TEST_F(GitStatusTest, RunsTheFoundGitWithItsArgumentsAndEnvironment) {
    ToolStandIn found(h.tools.path() / "one/git");
    h.platform.tools.gitCandidates = {found.str()};
    testing::writeFile(at("file"), "x");
    fs::create_directories(at("tab\there"));
    for (const std::string& root : {at("file").string(), at("none").string(), std::string("files"), at("tab\there").string()})
        EXPECT_EQ(h.call<gitStatusWithRoot>({root}), noStatus) << root;
    EXPECT_TRUE(found.calls().empty());
    found.answer({.output = std::string("## main\0?? a\0", 13), .errorOutput = "dropped", .status = 0});
    fs::create_directories(at("tree/sub"));
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("tree/./sub/..").string()}),
              GitReply(0, bytes(std::string("## main\0?? a\0", 13))));
    found.answer({.output = "partial", .errorOutput = "fatal: bad", .status = 128});
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("tree").string()}), GitReply(128, bytes("partial")));

    auto calls = found.calls();
    ASSERT_EQ(calls.size(), 2u);
    std::vector<std::string> expected{"-C", at("tree").string()};
    expected.insert(expected.end(), statusArguments.begin(), statusArguments.end());
    EXPECT_EQ(calls[0].arguments, expected);
    calls[0].environment.erase("PWD");  // the stand-in's shell adds it
    Environment expectedEnvironment = environment;
    expectedEnvironment["GIT_OPTIONAL_LOCKS"] = "0";
    expectedEnvironment["LC_ALL"] = "C";
    EXPECT_EQ(calls[0].environment, expectedEnvironment);
}

// ---- the once-only search ----

class GitSearchTest : public ::testing::Test {
protected:
    GitSearchTest() {
        h.platform.tools.gitCandidates = {missing("a"), missing("b"), missing("c")};
        h.platform.tools.xcodeSelect = xcodeSelect.str();
    }
    std::string at(const std::string& relative) const { return (h.files.path() / relative).string(); }
    std::string missing(const std::string& name) const { return (h.tools.path() / "missing" / name).string(); }
    // A developer folder as xcode-select prints it, with a line end and blanks around.
    void selectDeveloperFolder(const fs::path& folder) { xcodeSelect.answer({.output = " " + folder.string() + " \n"}); }

    ToolHarness h{installCareServices};
    ToolStandIn xcodeSelect{h.tools.path() / "xcode-select"};
};

TEST_F(GitSearchTest, TheFirstExecutableCandidateWins) {
    ToolStandIn first(h.tools.path() / "homebrew/git"), second(h.tools.path() / "local/git");
    h.platform.tools.gitCandidates = {missing("a"), first.str(), second.str()};
    EXPECT_EQ(locateGit(h.platform), first.str());
    EXPECT_TRUE(xcodeSelect.calls().empty());
}

TEST_F(GitSearchTest, OnlyTheSelectedDeveloperToolsGiveTheSystemsGit) {
    const fs::path developer = h.tools.path() / "Developer";
    ToolStandIn inside(developer / "usr/bin/git");
    selectDeveloperFolder(developer);
    EXPECT_EQ(locateGit(h.platform), "/usr/bin/git");
    EXPECT_EQ(h.runs(), (Runs{{xcodeSelect.str(), "-p"}}));
}

TEST_F(GitSearchTest, NoGitIsKeptForEveryLaterRequestEvenAfterGitAppears) {
    const fs::path developer = h.tools.path() / "Developer";
    fs::create_directories(developer / "usr/bin");
    selectDeveloperFolder(developer);
    fs::create_directories(at("tree"));
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("tree")}), noStatus);

    ToolStandIn inside(developer / "usr/bin/git");
    ToolStandIn appeared(missing("a"));
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("tree")}), noStatus);
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("tree")}), noStatus);
    EXPECT_EQ(xcodeSelect.calls().size(), 1u) << "searched once";
    EXPECT_TRUE(appeared.calls().empty() && inside.calls().empty());
}

// A failed selection finds nothing, even with git in the folder.
TEST_F(GitSearchTest, ConcurrentFirstRequestsShareOneSearchAndAFailedSelectionFindsNothing) {
    ToolStandIn inside(h.tools.path() / "Developer/usr/bin/git");
    xcodeSelect.answer({.output = (h.tools.path() / "Developer").string(), .status = 2});
    std::vector<std::future<std::optional<std::string>>> searches;
    for (int i = 0; i < 8; ++i)
        searches.push_back(std::async(std::launch::async, [this] { return locateGit(h.platform); }));
    for (auto& search : searches) EXPECT_EQ(search.get(), std::nullopt);
    EXPECT_EQ(xcodeSelect.calls().size(), 1u);
}

TEST(TimeMachine, RepliesStandardOutputUntrimmedWhateverTheStatus) {
    ToolHarness h(installCareServices);
    auto tmutil = h.standIn("tmutil", &ToolPaths::tmutil);
    tmutil.answer({.output = "/Volumes/B/2026-12-01-101010.backup\n", .errorOutput = "dropped", .status = 1});
    EXPECT_EQ(h.call<timeMachineBackupsWithReply>({}), std::tuple(std::string("/Volumes/B/2026-12-01-101010.backup\n")));
    tmutil.answer({.errorOutput = "No machine directory found", .status = 1});
    EXPECT_EQ(h.call<timeMachineBackupsWithReply>({}), std::tuple(std::string()));
    const std::string tool = tmutil.str();
    EXPECT_EQ(h.runs(), (Runs{{tool, "listbackups"}, {tool, "listbackups"}}));
    EXPECT_EQ(tmutil.calls()[0].input, "");
}

}  // namespace
}  // namespace companion::care
