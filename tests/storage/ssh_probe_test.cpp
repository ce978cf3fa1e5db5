#include "storage/ssh_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/process/process.h"
#include "support/files.h"
#include "support/session_fixture.h"
#include "support/ssh_server.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using service::msg::sshHomeWithHost;
using testing::SessionHarness;
using testing::TempDir;

const fs::path helpers = fs::path(COMPANION_TEST_HELPERS) / "ssh";
const std::vector<std::string> batchOptions = {"-o", "BatchMode=yes", "-o", "ConnectTimeout=6"};

std::vector<std::string> withBatchOptions(const std::vector<std::string>& rest) {
    std::vector<std::string> all = batchOptions;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

using testing::readFile;
using testing::readLines;
using testing::writeFile;

// ---- the pure parts ----

struct ArgumentCase {
    std::string name;
    SshLogin login;
    std::vector<std::string> expected;
};

class SshArgumentsTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(SshArgumentsTest, BuildsTheListInOrder) {
    EXPECT_EQ(sshArguments(GetParam().login), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Logins, SshArgumentsTest,
    ::testing::Values(
        ArgumentCase{"HostAlone", {"files.example.org", "", 0, ""}, withBatchOptions({"files.example.org", "pwd"})},
        ArgumentCase{"PortBeforeKey",
                     {"files.example.org", "ana", 22, "/keys/./id"},
                     withBatchOptions({"-p", "22", "-i", "/keys/./id", "ana@files.example.org", "pwd"})},
        ArgumentCase{"KeyWithoutPort",
                     {"10.0.0.7", "backup", 0, "/keys/id"},
                     withBatchOptions({"-i", "/keys/id", "backup@10.0.0.7", "pwd"})},
        ArgumentCase{"BracketedIpv6", {"[fe80::1]", "", 2222, ""}, withBatchOptions({"-p", "2222", "[fe80::1]", "pwd"})}),
    [](const auto& info) { return info.param.name; });

struct LoginCase {
    std::string name;
    SshLogin login;
    bool acceptable;
};

class SshLoginCheckTest : public ::testing::TestWithParam<LoginCase> {};

TEST_P(SshLoginCheckTest, AcceptsOnlyWellFormedLogins) {
    EXPECT_EQ(isAcceptableLogin(GetParam().login), GetParam().acceptable);
}

INSTANTIATE_TEST_SUITE_P(
    Logins, SshLoginCheckTest,
    ::testing::Values(LoginCase{"Ipv6AndDottedUser", {"[2001:db8::1]", "user.name@corp", 65535, ""}, true},
                      LoginCase{"ExistingKeyWithDots", {"h", "", 0, "/etc/./ssh/../passwd"}, true},
                      LoginCase{"HostLikeAnOption", {"-oProxyCommand=x", "", 0, ""}, false},
                      LoginCase{"HostWithSpace", {"h x", "", 0, ""}, false},
                      LoginCase{"HostWithTrailingLineFeed", {"h\n", "", 0, ""}, false},
                      LoginCase{"UserLikeAnOption", {"h", "-l", 0, ""}, false},
                      LoginCase{"PortTooHigh", {"h", "", 65536, ""}, false},
                      LoginCase{"NegativePort", {"h", "", -1, ""}, false},
                      LoginCase{"RelativeKey", {"h", "", 0, "id_ed25519"}, false}),
    [](const auto& info) { return info.param.name; });

struct OutputCase {
    std::string name;
    CommandResult result;
    std::optional<std::string> home;
};

class ProbedHomeTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(ProbedHomeTest, TakesTheLastAbsolutePathOfASuccessfulRun) {
    EXPECT_EQ(probedHome(GetParam().result), GetParam().home);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ProbedHomeTest,
    ::testing::Values(OutputCase{"BannerFirst", {0, "Welcome\n/etc/motd says hi\n\n  /home/ana \t\nbye\n", ""}, "/home/ana"},
                      OutputCase{"NoFinalLineFeed", {0, "/srv/home", ""}, "/srv/home"},
                      OutputCase{"CarriageReturnLineEnds", {0, "Hello\r\n/home/ana\r\n", ""}, "/home/ana"},
                      OutputCase{"FailedRunWithPath", {255, "/home/ana\n", "denied"}, std::nullopt},
                      OutputCase{"NoAbsolutePath", {0, "home/ana\n~\n", ""}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

// ---- the request, with a stand-in ssh that records its arguments ----

class SshProbeWithStandIn : public ::testing::Test {
protected:
    SshProbeWithStandIn() {
        fs::create_symlink(helpers / "recording_ssh", folder.path() / "ssh");
        harness.platform.tools.ssh = (folder.path() / "ssh").string();
        installSshServices(harness.services);
    }

    std::optional<std::string> probe(std::string host, std::string user, int64_t port, std::string keyFile) {
        return std::get<0>(harness.call<sshHomeWithHost>({std::move(host), std::move(user), port, std::move(keyFile)}));
    }
    void serverPrints(const std::string& output, int status = 0) {
        writeFile(folder.path() / "stdout", output);
        writeFile(folder.path() / "status", std::to_string(status));
    }
    bool sshRan() const { return fs::exists(folder.path() / "argv"); }
    std::vector<std::string> sshArgv() const { return readLines(folder.path() / "argv"); }

    TempDir folder;
    SessionHarness harness;
};

TEST_F(SshProbeWithStandIn, PassesTheKeyFileAsReceivedAndRepliesTheHome) {
    const std::string key = folder.str() + "/keys/../ssh";  // exists once standardised
    serverPrints("Last login: yesterday\n /home/ana \n");

    EXPECT_EQ(probe("[::1]", "ana", 22, key), "/home/ana");
    EXPECT_EQ(sshArgv(), withBatchOptions({"-p", "22", "-i", key, "ana@[::1]", "pwd"}));
}

TEST_F(SshProbeWithStandIn, AFailedLoginGivesNothingEvenWithAPath) {
    serverPrints("/home/ana\n", 255);

    EXPECT_EQ(probe("server", "ana", 0, ""), std::nullopt);
    EXPECT_TRUE(sshRan());
}

TEST_F(SshProbeWithStandIn, RefusedRequestsNeverRunSsh) {
    serverPrints("/home/ana\n");

    EXPECT_EQ(probe("-oProxyCommand=touch /tmp/x", "", 0, ""), std::nullopt);
    EXPECT_EQ(probe("server", "", 70000, ""), std::nullopt);
    EXPECT_EQ(probe("server", "", -1, ""), std::nullopt);
    EXPECT_EQ(probe("server", "", 0, folder.str() + "/no-such-key"), std::nullopt);
    EXPECT_FALSE(sshRan());
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
    size_t sshRuns() const { return readLines(path("runs")).size(); }

    TempDir folder;
    std::string user;  // who we are, and our home folder, as the password database says
    std::string home;
    int port = 0;
    testing::SshServer sshServer{folder.path()};
    SessionHarness harness;
};

TEST_F(SshProbeWithServer, FindsTheAccountsHomeFolder) {
    EXPECT_EQ(probe(loopback, port, path("client_key")), home);
    EXPECT_EQ(sshRuns(), 1u);
}

TEST_F(SshProbeWithServer, AClosedPortGivesNothing) {
    const int closed = testing::SshServer::freePort();
    EXPECT_EQ(probe(loopback, closed, path("client_key")), std::nullopt);
}

TEST_F(SshProbeWithServer, RefusedRequestsNeverReachTheServer) {
    EXPECT_EQ(probe("-p" + std::to_string(port), 0, path("client_key")), std::nullopt);
    EXPECT_EQ(probe(loopback, 65536, path("client_key")), std::nullopt);
    EXPECT_EQ(probe(loopback, port, path("missing_key")), std::nullopt);
    EXPECT_EQ(sshRuns(), 0u);
}

}  // namespace
}  // namespace companion::storage
