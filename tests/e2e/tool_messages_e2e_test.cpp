// The built agent with its real tool table: stand-ins at the tools' fixed paths (seen by the
// agent alone, in a private mount namespace), the real git, and real tools that cannot start.

#include <gtest/gtest.h>

#include <filesystem>

#include "client/companion_client.h"
#include "core/command_runner.h"
#include "support/files.h"
#include "support/namespaced_agent.h"
#include "support/tool_stand_in.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using namespace service::msg;
using client::ClientConnection;

const std::string hdiutilPath = "/usr/bin/hdiutil";
const std::string fileproviderctlPath = "/usr/bin/fileproviderctl";
const std::string tmutilPath = "/usr/bin/tmutil";
const std::string gitPath = "/usr/bin/git";
const std::string killallPath = "/usr/bin/killall";

// None when the agent did not start listening or could not be reached; the caller asserts.
std::unique_ptr<ClientConnection> connectTo(AgentProcess& agent) {
    if (!agent.waitForSocket()) return nullptr;
    auto connected = ClientConnection::connect(agent.socketPath());
    auto* connection = std::get_if<std::unique_ptr<ClientConnection>>(&connected);
    return connection ? std::move(*connection) : nullptr;
}

template <class M>
typename M::Replies::Tuple call(ClientConnection& connection, service::Args<M> arguments) {
    auto reply = connection.call<M>(std::move(arguments));
    if (!reply) throw std::runtime_error("no reply to " + std::string(M::selector));
    return *reply;
}

std::string file(const TempDir& folder, const std::string& name) {
    writeFile(folder.path() / name, name);
    return (folder.path() / name).string();
}

// ---- stand-ins at the fixed paths ----

class StandInTools : public ::testing::Test {
protected:
    void SetUp() override {
        NAMESPACED_AGENT_OR_SKIP();
        // git and killall are real on this machine; a file nobody may execute is bound over each.
        const std::string notExecutable = file(files, "not-executable");
        fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
        agent.emplace(std::vector<Placement>{{hdiutil.path(), hdiutilPath},
                                             {fileproviderctl.path(), fileproviderctlPath},
                                             {tmutil.path(), tmutilPath},
                                             {notExecutable, gitPath},
                                             {notExecutable, killallPath}},
                      std::map<std::string, std::string>{{"COMPANION_STANDIN_RECORD", record()}});
        connection = connectTo(agent->process());
        ASSERT_TRUE(connection);
    }
    std::string record() const { return (work.path() / "record").string(); }
    // No run sets an environment of its own: each sees the agent's.
    void expectInheritedEnvironment(const std::vector<ToolCall>& calls) const {
        for (const auto& call : calls) EXPECT_EQ(call.environment.at("COMPANION_STANDIN_RECORD"), record());
    }

    TempDir work, files;
    ToolStandIn hdiutil{work.path() / "tools/hdiutil", work.path() / "record"};
    ToolStandIn fileproviderctl{work.path() / "tools/fileproviderctl", work.path() / "record"};
    ToolStandIn tmutil{work.path() / "tools/tmutil", work.path() / "record"};
    std::optional<NamespacedAgent> agent;
    std::unique_ptr<ClientConnection> connection;
};

// The argument vectors are the unit tests'; here, that each message reaches its tool at the
// fixed path, with the password on standard input, the agent's environment and the tool's reply.
TEST_F(StandInTools, MessagesRunTheirToolsAtTheirFixedPaths) {
    const std::string image = file(files, "v.dmg"), a = file(files, "a");
    hdiutil.answer({.output = "<plist/>", .errorOutput = "err", .status = 1});
    tmutil.answer({.output = "/Volumes/B/one\n", .errorOutput = "x", .status = 1});

    EXPECT_EQ(call<vaultAttachWithPath>(*connection, {image, "pw", true}),
              std::tuple(1, std::string("<plist/>"), std::string("err")));
    EXPECT_EQ(call<evictFromCloudWithPaths>(*connection, {{a, "relative"}}), std::tuple(int64_t{1}));
    EXPECT_EQ(call<timeMachineBackupsWithReply>(*connection, {}), std::tuple(std::string("/Volumes/B/one\n")));

    ASSERT_EQ(hdiutil.calls().size(), 1u);
    EXPECT_EQ(hdiutil.calls()[0].arguments, (std::vector<std::string>{"attach", "-plist", "-stdinpass", "-nobrowse", image}));
    EXPECT_EQ(hdiutil.calls()[0].input, std::string("pw\0", 3));
    ASSERT_EQ(fileproviderctl.calls().size(), 1u);
    EXPECT_EQ(fileproviderctl.calls()[0].arguments, (std::vector<std::string>{"evict", a}));
    ASSERT_EQ(tmutil.calls().size(), 1u);
    for (const auto& tool : {&hdiutil, &fileproviderctl, &tmutil}) expectInheritedEnvironment(tool->calls());
}

// ---- the real git ----

TEST(RealGit, TheAgentRepliesGitsOwnStatusBytes) {
    TempDir repository;
    ASSERT_EQ(runCommand(gitPath, {"-C", repository.str(), "init", "-q"}).status, 0);
    writeFile(repository.path() / "untracked one.txt", "x");
    AgentProcess agent;
    auto connection = connectTo(agent);
    ASSERT_TRUE(connection);
    Environment environment = systemEnvironment();
    environment["GIT_OPTIONAL_LOCKS"] = "0";
    environment["LC_ALL"] = "C";
    const auto direct = runCommand(gitPath,
                                   {"-C", repository.str(), "status", "--porcelain=v1", "-z", "--branch",
                                    "--untracked-files=normal"},
                                   std::nullopt, environment);
    EXPECT_EQ(call<gitStatusWithRoot>(*connection, {repository.str()}),
              std::tuple(direct.status, wire::Bytes(direct.output.begin(), direct.output.end())));
}

// ---- tools that cannot start ----

// The real git and killall, which the agent finds on its own, fail to start without costing a
// reply.
TEST_F(StandInTools, GitAndKillallThatCannotStartStillGetAReply) {
    EXPECT_EQ(call<gitStatusWithRoot>(*connection, {files.str()}), std::tuple(-1, wire::Bytes{}));
    EXPECT_EQ(call<restartRecentItemsWithReply>(*connection, {}), std::tuple<>());
}

}  // namespace
}  // namespace companion::testing
