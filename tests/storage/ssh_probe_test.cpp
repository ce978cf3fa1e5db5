#include "storage/ssh_probe.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "support/files.h"
#include "support/ssh_server.h"
#include "support/tool_harness.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using service::msg::sshHomeWithHost;
using namespace companion::testing;

const fs::path sshHelpers = fs::path(COMPANION_TEST_HELPERS) / "ssh";

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
    ToolHarness h(installSshServices);
    const ToolStandIn ssh = h.standIn("ssh", &ToolPaths::ssh);
    ssh.answer({.output = "Last login: yesterday\n /home/ana \n"});
    const std::string key = h.tools.str() + "/keys/../ssh";  // exists once standardised

    EXPECT_EQ(h.call<sshHomeWithHost>({"-oProxyCommand=touch /tmp/x", "", 0, ""}), std::tuple{std::nullopt});
    EXPECT_EQ(h.call<sshHomeWithHost>({"server", "", 0, h.tools.str() + "/no-such-key"}), std::tuple{std::nullopt});
    EXPECT_TRUE(ssh.calls().empty());
    EXPECT_EQ(h.call<sshHomeWithHost>({"[::1]", "ana", 22, key}), std::tuple{std::optional<std::string>("/home/ana")});
    ASSERT_EQ(ssh.calls().size(), 1u);
    EXPECT_EQ(ssh.calls()[0].arguments, withBatchOptions({"-p", "22", "-i", key, "ana@[::1]", "pwd"}));
}

// ---- against a real ssh server on this machine ----

// The test's own sshd, and an ssh client configured to trust exactly its host key.
TEST(SshProbeWithServer, FindsTheAccountsHomeFolderAndNothingOnAClosedPort) {
    if (::geteuid() != 0) GTEST_SKIP() << "a real sshd for another account needs root; skipped";
    if (!fs::exists(SshServer::sshd)) GTEST_SKIP() << SshServer::sshd << " is not installed; skipped";
    TempDir folder;
    SshServer server{folder.path()};
    ASSERT_EQ(server.start(), "");
    const auto path = [&](const std::string& name) { return (folder.path() / name).string(); };
    writeFile(path("known_hosts"), "[" + std::string(SshServer::loopback) + "]:" + std::to_string(server.port()) +
                                       " " + readFile(path("host_key.pub")));
    writeFile(path("ssh_config"), "Host *\n  UserKnownHostsFile " + path("known_hosts") +
                                      "\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n"
                                      "  IdentitiesOnly yes\n  IdentityAgent none\n  UpdateHostKeys no\n"
                                      "  LogLevel ERROR\n");
    fs::create_symlink(sshHelpers / "configured_ssh", path("ssh"));
    SessionHarness harness;
    harness.platform.tools.ssh = path("ssh");
    installSshServices(harness.services);
    // Who we are, and our home folder, as the password database says.
    const passwd* account = ::getpwuid(::geteuid());
    const auto probe = [&](int64_t port) {
        return std::get<0>(
            harness.call<sshHomeWithHost>({SshServer::loopback, account->pw_name, port, path("client_key")}));
    };
    EXPECT_EQ(probe(server.port()), std::string(account->pw_dir));
    EXPECT_EQ(readLines(path("runs")).size(), 1u);
    EXPECT_EQ(probe(SshServer::freePort()), std::nullopt);
}

}  // namespace
}  // namespace companion::storage
