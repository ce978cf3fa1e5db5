#include "storage/connection.h"

#include <unistd.h>

#include <optional>

#include <gtest/gtest.h>

#include "storage/rclone_stand_in.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

using namespace companion::testing;

constexpr const char* debianRclone = "/usr/bin/rclone";
constexpr const char* sftpDefault = R"(:sftp,host="h",key_use_agent=true:/)";
constexpr const char* s3Base = R"(:s3,provider="AWS",env_auth=false,access_key_id="AKIA/+=_-9")";

ConnectionDescription sftp(ConnectionDescription extra = {}) {
    extra.insert({{"kind", "sftp"}, {"host", "h"}});
    return extra;
}

ConnectionDescription s3(ConnectionDescription extra = {}) {
    extra.insert({{"kind", "s3"}, {"provider", "AWS"}, {"accessKey", "AKIA/+=_-9"}});
    return extra;
}

std::optional<ResolvedConnection> remote(const std::string& argument, Environment environment = {}) {
    return ResolvedConnection{argument, std::move(environment)};
}

struct ResolveCase {
    ConnectionDescription description;
    std::string path;
    std::optional<ResolvedConnection> expected;
};

// Without rclone: only configured remotes and SFTP passwords would need it.
TEST(ResolveConnection, BuildsTheRemoteArgumentOrRefuses) {
    Platform platform;
    platform.tools.rcloneAbsoluteCandidates.clear();
    platform.tools.rcloneHomeCandidates.clear();
    platform.homeDirectory = [] { return std::string("/nonexistent"); };
    platform.environment = systemEnvironment;
    const ResolveCase cases[] = {
        {sftp(), "/", remote(sftpDefault)},
        {sftp({{"user", "u"}, {"port", "22"}, {"keyFile", "/dev/./null"}}), "/",
         remote(R"(:sftp,host="h",user="u",port=22,key_file="/dev/null":/)")},
        {sftp({{"user", ""}, {"port", ""}, {"keyFile", ""}, {"password", ""}, {"Host", "x"}}), "/",
         remote(sftpDefault)},
        {sftp({{"port", "+0022"}}), "", remote(R"(:sftp,host="h",port=22,key_use_agent=true:)")},
        {{{"kind", "sftp"}, {"host", "[fe80::1]"}}, "/", remote(R"(:sftp,host="[fe80::1]",key_use_agent=true:/)")},
        {sftp({{"port", "0"}}), "/", std::nullopt},
        {sftp({{"port", "65536"}}), "/", std::nullopt},
        {sftp({{"port", "22a"}}), "/", std::nullopt},
        {sftp({{"port", "-22"}}), "/", std::nullopt},
        {sftp({{"port", "99999999999999999999999"}}), "/", std::nullopt},
        {{{"kind", "sftp"}, {"host", "-oProxyCommand=x"}}, "/", std::nullopt},
        {{{"kind", "sftp"}, {"host", "a b"}}, "/", std::nullopt},
        {{{"kind", "sftp"}, {"host", R"(h",user="root)"}}, "/", std::nullopt},
        {sftp({{"user", "u\n"}}), "/", std::nullopt},
        {sftp({{"keyFile", "dev/null"}}), "/", std::nullopt},
        {sftp({{"keyFile", "/nonexistent/id_ed25519"}}), "/", std::nullopt},
        {s3(), "bucket/dir", remote(std::string(s3Base) + ":bucket/dir")},
        {s3({{"region", "eu-west-1"}, {"endpoint", R"(https://e"x)"}}), "b",
         remote(std::string(s3Base) + R"(,region="eu-west-1",endpoint="https://e""x":b)")},
        {s3({{"region", ""}, {"secret", "s3cr3t/KEY"}}), "b",
         remote(std::string(s3Base) + ":b", {{"RCLONE_S3_SECRET_ACCESS_KEY", "s3cr3t/KEY"}})},
        {s3({{"region", "-eu"}}), "b", std::nullopt},
        {s3({{"endpoint", "https://e\nx"}}), "b", std::nullopt},
        {s3({{"provider", "A WS"}}), "b", std::nullopt},
        {s3({{"accessKey", R"(AK"IA)"}}), "b", std::nullopt},
        {{{"kind", "s3"}, {"provider", "AWS"}}, "b", std::nullopt},
        {{}, "/", std::nullopt},
        {{{"host", "h"}}, "/", std::nullopt},
        {{{"kind", "ftp"}, {"host", "h"}}, "/", std::nullopt},
        {{{"kind", "SFTP"}, {"host", "h"}}, "/", std::nullopt},
        {sftp(), "/a\nb", std::nullopt},
        {{{"kind", "remote"}, {"remote", "known"}}, "", std::nullopt},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(resolveConnection(platform, cases[i].description, cases[i].path), cases[i].expected) << "case " << i;
}

// With the stand-in rclone below the home folder.
class WithRclone : public ::testing::Test {
protected:
    WithRclone() { lookOnlyBelowHome(harness.platform); }
    std::optional<ResolvedConnection> resolve(const ConnectionDescription& description, const std::string& path) {
        return resolveConnection(harness.platform, description, path);
    }
    SessionHarness harness;
    ToolStandIn rclone{homeCandidate(harness.home.path())};
};

TEST_F(WithRclone, ConfiguredRemoteMustBeListed) {
    rclone.answerTo("listremotes", {.output = "known:   drive\nother name: s3\n"});
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "known"}}, "dir/sub"), remote("known:dir/sub"));
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "other name"}}, ""), remote("other name:"));
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "unknown"}}, ""), std::nullopt);
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "-known"}}, ""), std::nullopt);
    EXPECT_EQ(rclone.calls().size(), 3u);
}

TEST_F(WithRclone, SftpPasswordTravelsObscuredInTheEnvironmentOnly) {
    const std::string password = "pa ss\"word";
    rclone.answerTo("obscure", {.output = "  OBSCURED-VALUE \n"});
    EXPECT_EQ(resolve(sftp({{"password", password}}), "/"),
              remote(sftpDefault, {{"RCLONE_SFTP_PASS", "OBSCURED-VALUE"}}));
    const auto runs = rclone.calls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"obscure", "-"}));
    EXPECT_EQ(runs[0].input, password + "\n");
}

TEST_F(WithRclone, PasswordThatCannotBeObscuredIsLeftOut) {
    rclone.answerTo("obscure", {.output = "ignored\n", .errorOutput = "cannot", .status = 1});
    EXPECT_EQ(resolve(sftp({{"password", "pw"}}), "/"), remote(sftpDefault));
    // A line end would cut the password short on its way to rclone: the request is refused.
    for (const char* password : {"first\nsecond", "first\rsecond", "trailing\r\n"})
        EXPECT_EQ(resolve(sftp({{"password", password}}), "/"), std::nullopt) << password;
    EXPECT_EQ(resolve(sftp({{"port", "0"}, {"password", "pw"}}), "/"), std::nullopt);
    EXPECT_EQ(rclone.calls().size(), 1u);
}

TEST(RealRclone, ObscuredPasswordRevealsToTheOriginal) {
    if (::access(debianRclone, X_OK) != 0) GTEST_SKIP() << "rclone is not installed at " << debianRclone;
    Platform platform;
    platform.tools.rcloneAbsoluteCandidates = {debianRclone};
    platform.homeDirectory = [] { return std::string("/nonexistent"); };
    platform.environment = systemEnvironment;
    const std::string password = " pa ss\"w\xc3\xb6rd\t-";
    const auto obscured = obscurePassword(platform, password);
    ASSERT_TRUE(obscured);
    const CommandResult revealed = runCommand(debianRclone, {"reveal", "--", *obscured});
    ASSERT_EQ(revealed.status, 0) << revealed.errorOutput;
    EXPECT_EQ(revealed.output, password + "\n");
}

}  // namespace
}  // namespace companion::storage
