// Who gets in, tried with real sandboxes made by bubblewrap (the mechanism Flatpak uses), and the
// one line the agent writes for each "no".

#include <sys/socket.h>
#include <sys/wait.h>

#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "support/files.h"
#include "support/raw_client.h"

namespace companion::testing {
namespace {

constexpr const char* bubblewrap = "/usr/bin/bwrap";
// The command-line client's exit status: a reply, or no agent and no reply.
constexpr int ctlServed = 0;
constexpr int ctlRefused = 1;

std::string flatpakInfoOf(const std::string& application) { return "[Application]\nname=" + application + "\n"; }

// One call of the command-line client from inside a sandbox of its own root, with the system's
// programs, the build and the agent's folder bound in, and `flatpakInfo` as its `.flatpak-info`.
CommandResult callFromSandbox(const AgentProcess& agent, const std::optional<std::string>& flatpakInfo) {
    const std::string build = std::filesystem::path(COMPANION_BIN_DIR).parent_path().string();
    std::vector<std::string> words{"--unshare-pid", "--die-with-parent", "--proc", "/proc", "--dev", "/dev",
                                   "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
                                   "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64",
                                   "--symlink", "usr/bin", "/bin", "--ro-bind", build, build,
                                   "--bind", agent.runtimeDir(), agent.runtimeDir(),
                                   // A sanitizer's options may name files outside the sandbox,
                                   // which it would then fail to read.
                                   "--unsetenv", "TSAN_OPTIONS", "--unsetenv", "ASAN_OPTIONS"};
    TempDir folder;
    if (flatpakInfo) {
        writeFile(folder.path() / "info", *flatpakInfo);
        words.insert(words.end(), {"--ro-bind", (folder.path() / "info").string(), "/.flatpak-info"});
    }
    words.insert(words.end(), {binary("tavro-companion-ctl"), "--socket", agent.socketPath(), "call", "helloWithReply:"});
    return runCommand(bubblewrap, words, std::nullopt, std::nullopt, 60);
}

class Admission : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(bubblewrap, X_OK) != 0) GTEST_SKIP() << "needs bubblewrap";
        ASSERT_TRUE(agent.waitForSocket());
    }
    AgentProcess agent{{}, {"--agent"}, true};
};

TEST_F(Admission, OnlyTheHostsSandboxAndUnconfinedPeersAreServed) {
    const struct {
        const char* name;
        std::optional<std::string> flatpakInfo;
        int expected;
    } cases[] = {
        {"the host", flatpakInfoOf(std::string(hostBundleIdentifier)), ctlServed},
        {"the host's test build", flatpakInfoOf(std::string(hostTestBundleIdentifier)), ctlServed},
        {"another application", flatpakInfoOf("org.example.Other"), ctlRefused},
        {"a name that only starts like the host's", flatpakInfoOf("es.vextralune.tavro.evil"), ctlRefused},
        {"no .flatpak-info", std::nullopt, ctlRefused},
        {"a runtime, no application", "[Runtime]\nname=es.vextralune.tavro\n", ctlRefused},
        {"malformed", "name=es.vextralune.tavro\n[Application\n", ctlRefused},
        {"huge", flatpakInfoOf(std::string(hostBundleIdentifier)) + std::string(1 << 20, '#'), ctlRefused},
    };
    for (const auto& c : cases) EXPECT_EQ(callFromSandbox(agent, c.flatpakInfo).status, c.expected) << c.name;
    EXPECT_EQ(ctl(agent.socketPath(), {"call", "helloWithReply:"}).status, ctlServed) << "unconfined";
    EXPECT_FALSE(agent.exited());
}

// A peer gone before it could be looked at is refused and costs nothing else.
TEST_F(Admission, PeersThatLeaveRightAfterConnectingAreHandled) {
    for (int i = 0; i < 20; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            RawClient client(agent.socketPath());
            ::_exit(client.valid() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
    }
    EXPECT_EQ(ctl(agent.socketPath(), {"call", "helloWithReply:"}).status, ctlServed);
}

// Each "no" leaves one line that says what, to whom and why.
TEST_F(Admission, EachRefusalLeavesOneReadableLine) {
    EXPECT_EQ(callFromSandbox(agent, flatpakInfoOf("org.example.Other")).status, ctlRefused);
    RawClient hostile(agent.socketPath());
    ASSERT_TRUE(hostile.send(greetingFrame() + std::string("\x7f\xff\xff\xff", 4)));
    EXPECT_TRUE(hostile.closedWithin(RawClient::patience));
    EXPECT_EQ(ctl(agent.socketPath(), {"call", "evictFromCloudWithPaths:reply:", R"(["/"])"}).output, "{\"reply\":[0]}\n");

    const std::string missingTool = "/usr/bin/fileproviderctl";
    ASSERT_TRUE(::access(missingTool.c_str(), F_OK) != 0);
    const std::pair<std::string, std::string> expected[] = {
        {"refused a connection", "org.example.Other"},
        {"ended the connection", "a frame longer than the limit"},
        {missingTool, "No such file"},
    };
    ASSERT_TRUE(eventually([&] { return !agent.errorLines(missingTool).empty(); }));
    for (const auto& [what, why] : expected) {
        const auto lines = agent.errorLines(what);
        ASSERT_EQ(lines.size(), 1u) << what;
        EXPECT_NE(lines[0].find(why), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("tavro-companion: "), std::string::npos) << lines[0];
    }
}

}  // namespace
}  // namespace companion::testing
