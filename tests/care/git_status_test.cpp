// Git status: the real git on repositories made here, and the once-only search for git against
// stand-ins.

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "care/care_services.h"
#include "care/git_status.h"
#include "core/command_runner.h"
#include "support/files.h"
#include "support/tool_harness.h"

namespace companion::care {
namespace {

namespace fs = std::filesystem;
using service::msg::gitStatusWithRoot;
using testing::ToolHarness;
using testing::ToolStandIn;
using namespace std::string_literals;

const std::string realGit = "/usr/bin/git";
const std::vector<std::string> statusArguments = {"status", "--porcelain=v1", "-z", "--branch",
                                                  "--untracked-files=normal"};
using GitReply = std::tuple<int32_t, wire::Bytes>;
const GitReply noStatus{-1, {}};

wire::Bytes bytes(const std::string& text) { return {text.begin(), text.end()}; }

class GitStatusTest : public ::testing::Test {
protected:
    GitStatusTest() {
        h.platform.environment = [this] { return environment; };
    }

    // Runs the real git in `folder` with this test's environment; fails the test if git does.
    void git(const fs::path& folder, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-C", folder.string(), "-c", "user.name=Test", "-c",
                                             "user.email=test@example.org", "-c", "init.defaultBranch=main"});
        auto result = runCommand(realGit, arguments, std::nullopt, environment, 60);
        EXPECT_EQ(result.status, 0) << result.errorOutput;
    }

    // What the status run prints when started by hand with the environment the agent gives it.
    GitReply direct(const fs::path& root) {
        Environment statusEnvironment = environment;
        statusEnvironment["GIT_OPTIONAL_LOCKS"] = "0";
        statusEnvironment["LC_ALL"] = "C";
        std::vector<std::string> arguments{"-C", root.string()};
        arguments.insert(arguments.end(), statusArguments.begin(), statusArguments.end());
        const auto result = runCommand(realGit, arguments, std::nullopt, statusEnvironment, 60);
        return {result.status, bytes(result.output)};
    }

    fs::path at(const std::string& relative) const { return h.files.path() / relative; }

    ToolHarness h{installCareServices};
    Environment environment{{"PATH", "/usr/bin:/bin"},
                            {"HOME", h.home.str()},
                            {"GIT_CONFIG_NOSYSTEM", "1"},
                            {"LC_ALL", "fr_FR.UTF-8"},
                            {"GIT_OPTIONAL_LOCKS", "1"}};
};

TEST_F(GitStatusTest, RepliesExactlyWhatGitPrintsInsideAndOutsideAWorkingTree) {
    const fs::path work = at("work"), upstream = at("up.git");
    fs::create_directories(work);
    fs::create_directories(upstream);
    git(upstream, {"init", "--bare"});
    git(work, {"init"});
    for (const std::string name : {"kept.txt", "old.txt", "name with space.txt", "line\nfeed.txt"})
        testing::writeFile(work / name, name + "\n");
    git(work, {"add", "."});
    git(work, {"commit", "-m", "first"});
    git(work, {"remote", "add", "origin", upstream.string()});
    git(work, {"push", "-u", "origin", "main"});
    testing::writeFile(work / "ahead.txt", "ahead\n");
    git(work, {"add", "ahead.txt"});
    git(work, {"commit", "-m", "ahead of upstream"});

    testing::writeFile(work / "staged.txt", "staged\n");
    git(work, {"add", "staged.txt"});
    testing::writeFile(work / "kept.txt", "changed\n");
    testing::writeFile(work / "name with space.txt", "changed\n");
    testing::writeFile(work / "line\nfeed.txt", "changed\n");
    git(work, {"mv", "old.txt", "new.txt"});
    testing::writeFile(work / "untracked.txt", "u\n");
    testing::writeFile(work / "new\nline.txt", "u\n");

    const GitReply expected = direct(work);
    ASSERT_EQ(std::get<0>(expected), 0);
    const std::string text(std::get<1>(expected).begin(), std::get<1>(expected).end());
    ASSERT_NE(text.find("## main...origin/main [ahead 1]"), std::string::npos) << text;
    ASSERT_NE(text.find("R  new.txt\0old.txt\0"s), std::string::npos) << text;
    ASSERT_NE(text.find("?? new\nline.txt\0"s), std::string::npos) << text;
    EXPECT_EQ(h.call<gitStatusWithRoot>({work.string()}), expected);
    EXPECT_EQ(h.call<gitStatusWithRoot>({(work / "." / ".." / "work").string() + "/"}), expected);

    fs::create_directories(at("plain"));
    const GitReply outside = direct(at("plain"));
    EXPECT_NE(std::get<0>(outside), 0) << "outside any working tree git fails, and that is the reply";
    EXPECT_EQ(h.call<gitStatusWithRoot>({at("plain").string()}), outside);
}

TEST_F(GitStatusTest, RefusesRootsThatAreNotExistingAbsoluteFolders) {
    testing::writeFile(at("file"), "x");
    fs::create_directories(at("tab\there"));
    for (const std::string& root : {at("file").string(), at("none").string(), std::string("files"), at("tab\there").string()})
        EXPECT_EQ(h.call<gitStatusWithRoot>({root}), noStatus) << root;
}

TEST_F(GitStatusTest, RunsTheFoundGitWithItsArgumentsAndEnvironment) {
    ToolStandIn found(h.tools.path() / "one/git");
    h.platform.tools.gitCandidates = {found.str()};
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
    ASSERT_EQ(xcodeSelect.calls().size(), 1u);
    EXPECT_EQ(xcodeSelect.calls()[0].arguments, (std::vector<std::string>{"-p"}));
}

TEST_F(GitSearchTest, AFailedSelectionFindsNothingEvenWithGitInTheFolder) {
    ToolStandIn inside(h.tools.path() / "Developer/usr/bin/git");
    xcodeSelect.answer({.output = (h.tools.path() / "Developer").string(), .status = 2});
    EXPECT_EQ(locateGit(h.platform), std::nullopt);
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

TEST_F(GitSearchTest, ConcurrentFirstRequestsShareOneSearch) {
    selectDeveloperFolder(h.tools.path() / "Developer");
    std::vector<std::future<std::optional<std::string>>> searches;
    for (int i = 0; i < 8; ++i)
        searches.push_back(std::async(std::launch::async, [this] { return locateGit(h.platform); }));
    for (auto& search : searches) EXPECT_EQ(search.get(), std::nullopt);
    EXPECT_EQ(xcodeSelect.calls().size(), 1u);
}

}  // namespace
}  // namespace companion::care
