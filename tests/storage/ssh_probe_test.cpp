#include "storage/ssh_probe.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "support/files.h"
#include "support/session_fixture.h"
#include "support/ssh_server.h"
#include "support/tool_stand_in.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using service::msg::sshHomeWithHost;
using namespace companion::testing;

const fs::path helpers = fs::path(COMPANION_TEST_HELPERS) / "ssh";

std::vector<std::string> withBatchOptions(const std::vector<std::string>& rest) {
    std::vector<std::string> all = {"-o", "BatchMode=yes", "-o", "ConnectTimeout=6"};
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}


// ---- the pure parts ----

TEST(SshArguments, BuildTheListInOrder) {
    const std::pair<SshLogin, std::vector<std::string>> cases[] = {
        {{"files.example.org", "", 0, ""}, withBatchOptions({"files.example.org", "pwd"})},
        {{"files.example.org", "ana", 22, "/keys/./id"},
         withBatchOptions({"-p", "22", "-i", "/keys/./id", "ana@files.example.org", "pwd"})},
        {{"10.0.0.7", "backup", 0, "/keys/id"}, withBatchOptions({"-i", "/keys/id", "backup@10.0.0.7", "pwd"})},
        {{"[fe80::1]", "", 2222, ""}, withBatchOptions({"-p", "2222", "[fe80::1]", "pwd"})},
    };
    for (const auto& [login, expected] : cases) EXPECT_EQ(sshArguments(login), expected) << login.host;
}

TEST(SshLoginCheck, AcceptsOnlyWellFormedLogins) {
    const std::pair<SshLogin, bool> cases[] = {
        {{"[2001:db8::1]", "user.name@corp", 65535, ""}, true}, {{"h", "", 0, "/etc/./ssh/../passwd"}, true},
        {{"-oProxyCommand=x", "", 0, ""}, false},              {{"h x", "", 0, ""}, false},
        {{"h\n", "", 0, ""}, false},                            {{"h", "-l", 0, ""}, false},
        {{"h", "", 65536, ""}, false},                          {{"h", "", -1, ""}, false},
        {{"h", "", 0, "id_ed25519"}, false},
    };
    for (const auto& [login, acceptable] : cases)
        EXPECT_EQ(isAcceptableLogin(login), acceptable) << login.host << " " << login.user << " " << login.port;
}

TEST(ProbedHome, IsTheLastAbsolutePathOfASuccessfulRun) {
    const std::pair<CommandResult, std::optional<std::string>> cases[] = {
        {{0, "Welcome\n/etc/motd says hi\n\n  /home/ana \t\nbye\n", ""}, "/home/ana"},
        {{0, "/srv/home", ""}, "/srv/home"},
        {{0, "Hello\r\n/home/ana\r\n", ""}, "/home/ana"},
        {{255, "/home/ana\n", "denied"}, std::nullopt},
        {{0, "home/ana\n~\n", ""}, std::nullopt},
    };
    for (const auto& [result, home] : cases) EXPECT_EQ(probedHome(result), home) << result.output;
}

// ---- the request, with a stand-in ssh that records its arguments ----

TEST(SshProbeWithStandIn, PassesTheKeyFileAsReceivedAndRunsNothingWhenRefused) {
    SessionHarness harness;
    TempDir folder;
    testing::ToolStandIn ssh(folder.path() / "ssh");
    harness.platform.tools.ssh = ssh.str();
    installSshServices(harness.services);
    ssh.answer({.output = "Last login: yesterday\n /home/ana \n"});
    const std::string key = folder.str() + "/keys/../ssh";  // exists once standardised

    EXPECT_EQ(harness.call<sshHomeWithHost>({"-oProxyCommand=touch /tmp/x", "", 0, ""}), std::tuple{std::nullopt});
    EXPECT_EQ(harness.call<sshHomeWithHost>({"server", "", 0, folder.str() + "/no-such-key"}), std::tuple{std::nullopt});
    EXPECT_TRUE(ssh.calls().empty());
    EXPECT_EQ(harness.call<sshHomeWithHost>({"[::1]", "ana", 22, key}), std::tuple{std::optional<std::string>("/home/ana")});
    ASSERT_EQ(ssh.calls().size(), 1u);
    EXPECT_EQ(ssh.calls()[0].arguments, withBatchOptions({"-p", "22", "-i", key, "ana@[::1]", "pwd"}));
}

// ---- against a real ssh server on this machine ----

constexpr const char* loopback = testing::SshServer::loopback;

// The test's own sshd, and an ssh client configured to trust exactly its host key.
class SshProbeWithServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a real sshd for another account needs root; skipped";
        if (!fs::exists(testing::SshServer::sshd)) GTEST_SKIP() << testing::SshServer::sshd << " is not installed; skipped";
        const passwd* account = ::getpwuid(::geteuid());
        ASSERT_NE(account, nullptr);
        user = account->pw_name;
        home = account->pw_dir;
        const std::string failure = sshServer.start();
        ASSERT_EQ(failure, "");
        port = sshServer.port();
        writeClientConfig();
        fs::create_symlink(helpers / "configured_ssh", path("ssh"));
        harness.platform.tools.ssh = path("ssh");
        installSshServices(harness.services);
    }

    std::string path(const std::string& name) const { return (folder.path() / name).string(); }

    void writeClientConfig() {
        writeFile(path("known_hosts"), "[" + std::string(loopback) + "]:" + std::to_string(port) + " " +
                                           readFile(path("host_key.pub")));
        writeFile(path("ssh_config"), "Host *\n  UserKnownHostsFile " + path("known_hosts") +
                                          "\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n"
                                          "  IdentitiesOnly yes\n  IdentityAgent none\n  UpdateHostKeys no\n"
                                          "  LogLevel ERROR\n");
    }

    std::optional<std::string> probe(std::string host, int64_t onPort, std::string keyFile) {
        return std::get<0>(harness.call<sshHomeWithHost>({std::move(host), user, onPort, std::move(keyFile)}));
    }

    TempDir folder;
    std::string user;  // who we are, and our home folder, as the password database says
    std::string home;
    int port = 0;
    testing::SshServer sshServer{folder.path()};
    SessionHarness harness;
};

TEST_F(SshProbeWithServer, FindsTheAccountsHomeFolderAndNothingOnAClosedPort) {
    EXPECT_EQ(probe(loopback, port, path("client_key")), home);
    EXPECT_EQ(readLines(path("runs")).size(), 1u);
    EXPECT_EQ(probe(loopback, testing::SshServer::freePort(), path("client_key")), std::nullopt);
}

}  // namespace
}  // namespace companion::storage
