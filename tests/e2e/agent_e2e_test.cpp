// The built binaries, end to end: entry, greeting and the command-line client. The idle exit
// of the real binary is the socket-activation test's.

#include <chrono>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "support/agent_process.h"
#include "support/files.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;

TEST(Entry, AgentArgumentCountsAnywhereButOnlyExactly) {
    AgentProcess later({"--verbose", "extra", "--agent"});
    EXPECT_TRUE(later.waitForSocket()) << "--agent after other arguments";

    // Setup mode shows its window (offscreen here) and registers the agent; it never listens.
    for (std::string near : {"--Agent", "---agent", "--agent=1", "-agent", "agent"}) {
        TempDir runtime;
        std::string units = runtime.str() + "/config/systemd/user/es.vextralune.tavro.companion.socket";
        pid_t setup = spawnWithRuntimeDir({binary("tavro-companion"), near}, runtime.str(),
                                          {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CONFIG_HOME", runtime.str() + "/config"}});
        EXPECT_TRUE(eventually([&] { return std::filesystem::exists(units); }, 20s)) << near;
        EXPECT_FALSE(std::filesystem::exists(runtime.str() + "/" + std::string(machServiceName))) << near;
        EXPECT_EQ(::waitpid(setup, nullptr, WNOHANG), 0) << near << ": the window stays until it is closed";
        ::kill(setup, SIGKILL);
        ::waitpid(setup, nullptr, 0);
    }
}

TEST(Entry, ASecondAgentLeavesALiveEndpointAlone) {
    AgentProcess first;
    ASSERT_TRUE(first.waitForSocket());
    pid_t second = spawnWithRuntimeDir({binary("tavro-companion"), "--agent"}, first.runtimeDir());
    int status = 0;
    ASSERT_EQ(::waitpid(second, &status, 0), second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(ctl(first.socketPath(), {"call", "helloWithReply:"}).status, 0) << "the first agent still serves";
}

TEST(CommandLineClient, DescribesEveryMessage) {
    auto result = runCommand(binary("tavro-companion-ctl"), {"describe"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("call     helloWithReply: () -> (Int64, String)\n"), std::string::npos);
    EXPECT_NE(result.output.find("oneway   cancelSyncWithId: (String)\n"), std::string::npos);
    EXPECT_NE(result.output.find("callback syncOutput:line: (String, String)\n"), std::string::npos);
}

TEST(CommandLineClient, GreetsAndExitStatusesFollowTheContract) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    // The words, the exit status, the output.
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"call", "helloWithReply:"}, 0, "{\"reply\":[1,\"" COMPANION_VERSION "\"]}\n"},
        {{"call", "rcloneStatWithConnection:path:reply:", "{}", "\"\""}, 0, "{\"reply\":[-1,\"\"]}\n"},
        {{"call", "gitStatusWithRoot:reply:", "\"relative\""}, 0, "{\"reply\":[-1,\"\"]}\n"},
        {{"call", "sshHomeWithHost:user:port:keyFile:reply:", "\"-bad\"", "\"\"", "-1", "\"\""}, 0,
         "{\"reply\":[null]}\n"},
        {{"call", "cancelSyncWithId:", "\"nothing\""}, 0, "{\"sent\":\"cancelSyncWithId:\"}\n"},
        {{"call", "noSuchMessage:"}, 2, ""},
        {{"call", "helloWithReply:", "1"}, 2, ""},
        {{"call", "unmountWithPath:force:reply:", "\"/x\"", "\"yes\""}, 2, ""},
        {{"call", "unmountWithPath:force:reply:", "not json", "true"}, 2, ""},
        {{"frobnicate"}, 2, ""},
    };
    for (const auto& [words, status, output] : cases) {
        auto result = ctl(agent.socketPath(), words);
        EXPECT_EQ(result.status, status) << words[1] << ": " << result.errorOutput;
        EXPECT_EQ(result.output, output) << words[1];
        EXPECT_EQ(result.errorOutput.empty(), status != 2) << words[1];
    }
    auto noAgent = runCommand(binary("tavro-companion-ctl"),
                              {"--socket", agent.runtimeDir() + "/nobody-here", "call", "helloWithReply:"});
    EXPECT_EQ(noAgent.status, 1);
}

TEST(CommandLineClient, PrintsEachSyncLogLineBeforeTheReply) {
    if (::access("/usr/bin/rclone", X_OK) != 0) GTEST_SKIP() << "needs rclone";
    TempDir work;
    writeFile(work.path() / "src/inner/a.txt", "a");
    writeFile(work.path() / "rclone.conf", "[local]\ntype = local\n");
    // the agent hands its own environment to rclone
    ::setenv("RCLONE_CONFIG", (work.path() / "rclone.conf").c_str(), 1);
    AgentProcess agent;
    ::unsetenv("RCLONE_CONFIG");
    ASSERT_TRUE(agent.waitForSocket());

    auto result = ctl(agent.socketPath(), {"call", "rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply:",
                              "\"job\"", "\"" + work.str() + "/src\"", "\"local:" + work.str() + "/dst\"", "false",
                              "false", "[]", "null", "false"});
    ASSERT_EQ(result.status, 0) << result.errorOutput;
    std::istringstream lines(result.output);
    std::vector<std::string> printed;
    for (std::string line; std::getline(lines, line);) printed.push_back(line);
    ASSERT_GE(printed.size(), 2u);
    for (size_t i = 0; i + 1 < printed.size(); ++i)
        EXPECT_TRUE(printed[i].starts_with(R"({"callback":"syncOutput:line:","args":["job",)")) << printed[i];
    EXPECT_EQ(printed.back(), R"({"reply":[0]})");
    EXPECT_TRUE(std::filesystem::exists(work.path() / "dst" / "inner" / "a.txt"));
}

}  // namespace
}  // namespace companion::testing
