#include "storage/connection.h"

#include <unistd.h>

#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "storage/rclone.h"
#include "storage/rclone_stand_in.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using namespace companion::testing;

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

// A platform with no home folder to search, and rclone only at `candidates`.
Platform platformWithRcloneAt(std::vector<std::string> candidates) {
    Platform platform;
    platform.tools.rcloneAbsoluteCandidates = std::move(candidates);
    platform.tools.rcloneHomeCandidates.clear();
    platform.homeDirectory = [] { return std::string("/nonexistent"); };
    platform.environment = systemEnvironment;
    return platform;
}

// Without rclone: only configured remotes and SFTP passwords would need it.
TEST(ResolveConnection, BuildsTheRemoteArgumentOrRefuses) {
    const Platform platform = platformWithRcloneAt({});
    // The description, the path, the connection it resolves to.
    const std::tuple<ConnectionDescription, std::string, std::optional<ResolvedConnection>> cases[] = {
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
    for (const auto& [description, path, expected] : cases)
        EXPECT_EQ(resolveConnection(platform, description, path), expected) << ::testing::PrintToString(description);
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

// The listing runs with the rclone environment.
TEST_F(WithRclone, ConfiguredRemoteMustBeListed) {
    harness.platform.environment = [] { return Environment{{"PATH", "/not/searched"}, {"MARKER", "kept"}}; };
    rclone.answerTo("listremotes", {.output = "known:   drive\nother name: s3\n"});
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "known"}}, "dir/sub"), remote("known:dir/sub"));
    const auto listing = rclone.calls().at(0);
    EXPECT_EQ(listing.arguments, (std::vector<std::string>{"listremotes", "--long"}));
    EXPECT_EQ(listing.environment.at("PATH"), ToolPaths{}.rcloneSearchPath);
    EXPECT_EQ(listing.environment.at("MARKER"), "kept");
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "other name"}}, ""), remote("other name:"));
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "unknown"}}, ""), std::nullopt);
    EXPECT_EQ(resolve({{"kind", "remote"}, {"remote", "-known"}}, ""), std::nullopt);
    EXPECT_EQ(rclone.calls().size(), 3u);
}

TEST_F(WithRclone, SftpPasswordTravelsObscuredInTheEnvironmentOnlyOrIsLeftOut) {
    const std::string password = "pa ss\"word";
    rclone.answerTo("obscure", {.output = "  OBSCURED-VALUE \n"});
    EXPECT_EQ(resolve(sftp({{"password", password}}), "/"),
              remote(sftpDefault, {{"RCLONE_SFTP_PASS", "OBSCURED-VALUE"}}));
    const auto runs = rclone.calls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"obscure", "-"}));
    EXPECT_EQ(runs[0].input, password + "\n");

    rclone.answerTo("obscure", {.output = "ignored\n", .errorOutput = "cannot", .status = 1});
    EXPECT_EQ(resolve(sftp({{"password", "pw"}}), "/"), remote(sftpDefault));
    // A line end would cut the password short on its way to rclone: the request is refused.
    for (const char* password : {"first\nsecond", "first\rsecond", "trailing\r\n"})
        EXPECT_EQ(resolve(sftp({{"password", password}}), "/"), std::nullopt) << password;
    EXPECT_EQ(resolve(sftp({{"port", "0"}, {"password", "pw"}}), "/"), std::nullopt);
    EXPECT_EQ(rclone.calls().size(), 2u) << "refusals run nothing";
}

TEST(RealRclone, ObscuredPasswordRevealsToTheOriginal) {
    if (::access(debianRclone, X_OK) != 0) GTEST_SKIP() << "rclone is not installed at " << debianRclone;
    const Platform platform = platformWithRcloneAt({debianRclone});
    const std::string password = " pa ss\"w\xc3\xb6rd\t-";
    const auto obscured = obscurePassword(platform, password);
    ASSERT_TRUE(obscured);
    const CommandResult revealed = runCommand(debianRclone, {"reveal", "--", *obscured});
    ASSERT_EQ(revealed.status, 0) << revealed.errorOutput;
    EXPECT_EQ(revealed.output, password + "\n");
}

// ---- finding and running rclone ----

TEST(RemoteListing, YieldsNameAndTypePerUsableLine) {
    const std::pair<std::string, std::vector<RemoteEntry>> cases[] = {
        {"a:      drive\nb:      s3\n", {{"a", "drive"}, {"b", "s3"}}},
        {"\n\nno colon\nnothing after:\n", {}},
        {"blank type:    \nlast: box", {{"blank type", ""}, {"last", "box"}}},
        {"::skipped: local\na:b:c\nd::drive", {{"skipped", "local"}, {"a", "b:c"}, {"d", ":drive"}}},
        {"\t spaced name \t:\tlocal \t\n", {{"spaced name", "local"}}}};
    for (const auto& [listing, expected] : cases) EXPECT_EQ(parseRemoteList(listing), expected) << listing;
}

// Five candidate locations below a temporary folder: three standing for the system folders, two
// below the home folder.
class RcloneCandidates : public ::testing::Test {
protected:
    RcloneCandidates() {
        platform.tools.rcloneAbsoluteCandidates.clear();
        for (const char* folder : {"opt/homebrew/bin", "usr/local/bin", "usr/bin"})
            platform.tools.rcloneAbsoluteCandidates.push_back((root.path() / folder / "rclone").string());
        platform.homeDirectory = [home = home()] { return home; };
    }
    std::string home() const { return root.str() + "/home"; }
    fs::path candidate(size_t index) const {
        const auto& absolute = platform.tools.rcloneAbsoluteCandidates;
        if (index < absolute.size()) return absolute[index];
        return home() + platform.tools.rcloneHomeCandidates.at(index - absolute.size());
    }
    TempDir root;
    Platform platform;
};

TEST_F(RcloneCandidates, FirstExecutableCandidateWinsInOrder) {
    // The candidates made executable, those made but not executable, the one found.
    using Placement = std::tuple<std::vector<size_t>, std::vector<size_t>, std::optional<size_t>>;
    const Placement placements[] = {{{0, 1, 2, 3, 4}, {}, 0}, {{1, 2}, {}, 1},         {{2, 3}, {}, 2},
                                    {{3}, {0, 1, 2}, 3},      {{4}, {}, 4},            {{}, {0, 4}, std::nullopt}};
    for (size_t i = 0; i < std::size(placements); ++i) {
        const auto& [executable, notExecutable, expected] = placements[i];
        fs::remove_all(root.path());
        for (size_t index : executable) ToolStandIn{candidate(index)};
        for (size_t index : notExecutable)
            fs::permissions(ToolStandIn{candidate(index)}.path(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(locateRclone(platform), expected ? std::optional(candidate(*expected).string()) : std::nullopt)
            << "placement " << i;
    }
}

TEST_F(RcloneCandidates, TestBuildContainerAndDirectoriesAreNotUsable) {
    const std::string testBuildSupport =
        "/Library/Containers/es.vextralune.tavro.sandboxtest/Data/Library/Application Support/Tavro";
    ToolStandIn{home() + testBuildSupport + "/bin/rclone"};
    fs::create_directories(candidate(0));
    EXPECT_EQ(locateRclone(platform), std::nullopt);
}

TEST(RcloneEnvironment, FixesTheSearchPathKeepsTheRestAndLetsExtrasWin) {
    Platform platform;
    platform.environment = [] { return Environment{{"PATH", "/elsewhere"}, {"HOME", "/home/u"}, {"LANG", "C"}}; };
    const std::string fixed = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    EXPECT_EQ(rcloneEnvironment(platform), (Environment{{"PATH", fixed}, {"HOME", "/home/u"}, {"LANG", "C"}}));
    EXPECT_EQ(rcloneEnvironment(platform, {{"LANG", "fr_FR"}, {"lang", "x"}, {"PATH", "/mine"}}),
              (Environment{{"PATH", "/mine"}, {"HOME", "/home/u"}, {"LANG", "fr_FR"}, {"lang", "x"}}));
}

}  // namespace
}  // namespace companion::storage
