// The built agent with its real tool table: stand-ins at the tools' fixed paths (seen by the
// agent alone, in a private mount namespace), the real git, and the replies when a tool cannot
// be started at all.

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

std::unique_ptr<ClientConnection> connectTo(AgentProcess& agent) {
    if (!agent.waitForSocket()) {
        ADD_FAILURE() << "the agent did not start listening";
        return nullptr;
    }
    auto connected = ClientConnection::connect(agent.socketPath());
    if (auto* error = std::get_if<std::string>(&connected)) {
        ADD_FAILURE() << *error;
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<ClientConnection>>(connected));
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
        agent.emplace(std::vector<Placement>{{hdiutil.path(), hdiutilPath},
                                             {fileproviderctl.path(), fileproviderctlPath},
                                             {tmutil.path(), tmutilPath}},
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

TEST_F(StandInTools, DiskImageMessagesRunTheToolAtItsFixedPath) {
    const std::string image = file(files, "v.dmg");
    const std::string vault = (files.path() / "v.sparsebundle").string();
    const std::string archive = (files.path() / "Reports.dmg").string();
    hdiutil.answer({.output = "out1", .errorOutput = "err1"}, 1);
    hdiutil.answer({.output = "<plist/>", .errorOutput = "err2", .status = 1}, 2);
    hdiutil.answer({.output = "A", .errorOutput = "B", .status = 16}, 3);
    hdiutil.answer({.output = "<info/>", .errorOutput = "err4", .status = 2}, 4);
    hdiutil.answer({.output = "out5", .errorOutput = "err5", .status = 1}, 5);

    EXPECT_EQ(call<vaultCreateWithPath>(*connection, {vault, "V", 2, "pw"}), std::tuple(0, std::string("err1")));
    EXPECT_EQ(call<vaultAttachWithPath>(*connection, {image, "pw", true}),
              std::tuple(1, std::string("<plist/>"), std::string("err2")));
    EXPECT_EQ(call<vaultDetachWithMountPoint>(*connection, {"/proc", true}), std::tuple(16, std::string("AB")));
    EXPECT_EQ(call<attachedImagesWithReply>(*connection, {}), std::tuple(std::string("<info/>")));
    EXPECT_EQ(call<encryptedArchiveWithItems>(*connection, {{image}, archive, "pw"}),
              std::tuple(1, std::string("err5")));

    const auto calls = hdiutil.calls();
    ASSERT_EQ(calls.size(), 5u);
    using Args = std::vector<std::string>;
    EXPECT_EQ(calls[0].arguments, (Args{"create", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256",
                                        "-size", "2g", "-volname", "V", "-stdinpass", vault}));
    EXPECT_EQ(calls[1].arguments, (Args{"attach", "-plist", "-stdinpass", "-nobrowse", image}));
    EXPECT_EQ(calls[2].arguments, (Args{"detach", "-force", "/proc"}));
    EXPECT_EQ(calls[3].arguments, (Args{"info", "-plist"}));
    EXPECT_EQ(calls[4].arguments, (Args{"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass",
                                        "-volname", "Reports", "-srcfolder", image, archive}));
    for (size_t i : {0, 1, 4}) EXPECT_EQ(calls[i].input, std::string("pw\0", 3)) << i;
    for (size_t i : {2, 3}) EXPECT_EQ(calls[i].input, "") << i;
    expectInheritedEnvironment(calls);
}

TEST_F(StandInTools, CloudItemsAndBackupsRunTheirToolsAtTheirFixedPaths) {
    const std::string a = file(files, "a"), b = file(files, "b");
    fileproviderctl.answer({.status = 1}, 2);
    EXPECT_EQ(call<evictFromCloudWithPaths>(*connection, {{a, b, "relative"}}), std::tuple(int64_t{1}));
    EXPECT_EQ(call<downloadFromCloudWithPaths>(*connection, {{b}}), std::tuple(int64_t{1}));
    const auto calls = fileproviderctl.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"evict", a}));
    EXPECT_EQ(calls[1].arguments, (std::vector<std::string>{"evict", b}));
    EXPECT_EQ(calls[2].arguments, (std::vector<std::string>{"materialize", b}));
    for (const auto& call : calls) EXPECT_EQ(call.input, "");
    expectInheritedEnvironment(calls);

    tmutil.answer({.output = "/Volumes/B/one\n/Volumes/B/two\n", .errorOutput = "x", .status = 1});
    EXPECT_EQ(call<timeMachineBackupsWithReply>(*connection, {}), std::tuple(std::string("/Volumes/B/one\n/Volumes/B/two\n")));
    ASSERT_EQ(tmutil.calls().size(), 1u);
    EXPECT_EQ(tmutil.calls()[0].arguments, (std::vector<std::string>{"listbackups"}));
    expectInheritedEnvironment(tmutil.calls());
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

// ---- no tool to start ----

TEST(NoTool, EveryMessageRepliesWhatALaunchFailureGives) {
    for (const auto& path : {hdiutilPath, fileproviderctlPath, tmutilPath})
        if (fs::exists(path)) GTEST_SKIP() << path << " exists on this machine";
    const std::string cannotLaunch = runCommand(hdiutilPath, {}).errorOutput;
    ASSERT_FALSE(cannotLaunch.empty());
    TempDir files;
    const std::string image = file(files, "v.dmg");
    AgentProcess agent;
    auto connection = connectTo(agent);
    ASSERT_TRUE(connection);

    EXPECT_EQ(call<vaultCreateWithPath>(*connection, {(files.path() / "v.sparsebundle").string(), "V", 2, "pw"}),
              std::tuple(-1, cannotLaunch));
    EXPECT_EQ(call<vaultAttachWithPath>(*connection, {image, "pw", false}), std::tuple(-1, std::string(), cannotLaunch));
    EXPECT_EQ(call<vaultDetachWithMountPoint>(*connection, {"/proc", false}), std::tuple(-1, cannotLaunch));
    EXPECT_EQ(call<attachedImagesWithReply>(*connection, {}), std::tuple(std::string()));
    EXPECT_EQ(call<encryptedArchiveWithItems>(*connection, {{image}, (files.path() / "a.dmg").string(), "pw"}),
              std::tuple(-1, cannotLaunch));
    EXPECT_EQ(call<evictFromCloudWithPaths>(*connection, {{image}}), std::tuple(int64_t{0}));
    EXPECT_EQ(call<downloadFromCloudWithPaths>(*connection, {{image}}), std::tuple(int64_t{0}));
    EXPECT_EQ(call<timeMachineBackupsWithReply>(*connection, {}), std::tuple(std::string()));
}

// git and killall are real on this machine; a file nobody may execute is bound over each.
TEST(NoTool, GitAndKillallThatCannotStartStillGetAReply) {
    NAMESPACED_AGENT_OR_SKIP();
    TempDir files;
    const std::string notExecutable = file(files, "not-executable");
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
    NamespacedAgent agent({{notExecutable, gitPath}, {notExecutable, killallPath}});
    auto connection = connectTo(agent.process());
    ASSERT_TRUE(connection);
    EXPECT_EQ(call<gitStatusWithRoot>(*connection, {files.str()}), std::tuple(-1, wire::Bytes{}));
    EXPECT_EQ(call<restartRecentItemsWithReply>(*connection, {}), std::tuple<>());
}

}  // namespace
}  // namespace companion::testing
