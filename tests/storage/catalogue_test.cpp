#include "storage/catalogue.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "storage/connection.h"
#include "storage/rclone_stand_in.h"
#include "storage/storage_services.h"
#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
namespace msg = service::msg;
using namespace companion::testing;
using Arguments = std::vector<std::string>;
using Text = std::optional<std::string>;


TEST(TokenExtraction, TakesFirstOpeningThroughLastClosingBrace) {
    EXPECT_EQ(extractToken("Paste this:\n{\"a\":{\"b\":1}}\n<- end }"), "{\"a\":{\"b\":1}}\n<- end }");
    EXPECT_EQ(extractToken("{}"), "{}");
    for (const char* output : {"} before {", "only { opening", "only } closing", ""})
        EXPECT_EQ(extractToken(output), std::nullopt) << output;
}

// A session whose agent finds only the stand-in rclone below its temporary home folder.
class Catalogue : public ::testing::Test {
protected:
    Catalogue() {
        lookOnlyBelowHome(harness.platform);
        installCatalogueServices(harness.services);
    }


    // Secrets reach rclone through its environment, never through an argument anyone can read.
    void expectNoArgumentHolds(const std::string& secret) const {
        for (const ToolCall& run : rclone.calls())
            for (const std::string& argument : run.arguments) EXPECT_EQ(argument.find(secret), std::string::npos);
    }

    SessionHarness harness;
    ToolStandIn rclone{homeCandidate(harness.home.path())};
};

// Remotes are name-tab-type lines; whether rclone is installed follows the executable, unrun.
TEST_F(Catalogue, RemotesAndInstalled) {
    rclone.answerTo("listremotes", {.output = "a:      drive\nb:      s3\n"});
    EXPECT_EQ(harness.call<msg::rcloneRemotesWithReply>({}), std::tuple{std::string("a\tdrive\nb\ts3")});
    rclone.answerTo("listremotes", {.output = "a: drive\n", .status = 1});
    EXPECT_EQ(harness.call<msg::rcloneRemotesWithReply>({}), std::tuple{std::string()});
    const size_t runs = rclone.calls().size();

    EXPECT_EQ(harness.call<msg::rcloneInstalledWithReply>({}), std::tuple{true});
    fs::remove(rclone.path());
    EXPECT_EQ(harness.call<msg::rcloneInstalledWithReply>({}), std::tuple{false});
    writeFile(rclone.path(), "not a program");
    fs::permissions(rclone.path(), fs::perms::owner_all);
    EXPECT_EQ(harness.call<msg::rcloneInstalledWithReply>({}), std::tuple{true});
    EXPECT_EQ(rclone.calls().size(), runs);
}

TEST_F(Catalogue, AuthorizeStoresOnlyTheTokenObject) {
    const std::string token = R"({"access_token":"ya29","expiry":"2030-01-01T00:00:00Z"})";
    rclone.answerTo("authorize",
                    {.output = "Paste the following into your remote machine --->\n" + token + "\n<---End paste\n"});
    const wire::StringMap extra{{"drive_type", "personal"}, {"client_id", "a=1"}};
    EXPECT_EQ(harness.call<msg::rcloneAuthorizeWithType>({"onedrive", "My Drive.v2", extra}), std::tuple{Text()});
    const std::string tool = rclone.str();
    EXPECT_EQ(ToolStandIn::runs(rclone.path().parent_path() / "record"),
              (Runs{{tool, "authorize", "onedrive"},
                    {tool, "config", "create", "My Drive.v2", "onedrive", "token=" + token, "client_id=a=1",
                     "drive_type=personal", "--non-interactive"}}));
}

// Bad requests are refused before anything runs; failures report their own text.
TEST_F(Catalogue, AuthorizeRefusalsAndFailuresReportTheirOwnText) {
    const service::Args<msg::rcloneAuthorizeWithType> requests[] = {
        {"Drive", "r", {}},  {"s3", "r", {}},  {"drive", " r", {}}, {"drive", "-r", {}}, {"drive", "r\n", {}},
        {"drive", "r", {{"Client_id", "x"}}}, {"drive", "r", {{"client1", "x"}}},
        {"drive", "r", {{"client_id", "a\tb"}}}};
    for (const auto& request : requests)
        EXPECT_EQ(harness.call<msg::rcloneAuthorizeWithType>(request), std::tuple{Text("invalid")})
            << std::get<1>(request);
    EXPECT_TRUE(rclone.calls().empty());
    // Sign-in output, error text and status; creation error text and status; the reply.
    const std::tuple<std::string, std::string, int, std::string, int, Text> failures[] = {
        {"{}", "user cancelled", 1, "", 0, "user cancelled"},
        {"{}", "", 1, "", 0, "authorize"},
        {"} nothing {", "", 0, "", 0, "token"},
        {"{}", "", 0, "bad name", 1, "bad name"},
        {"{}", "", 0, "", 1, ""}};
    for (const auto& [signInOutput, signInError, signInStatus, createError, createStatus, expected] : failures) {
        rclone.answerTo("authorize", {.output = signInOutput, .errorOutput = signInError, .status = signInStatus});
        rclone.answerTo("config", {.errorOutput = createError, .status = createStatus});
        EXPECT_EQ(harness.call<msg::rcloneAuthorizeWithType>({"dropbox", "box files", {}}), std::tuple{expected});
    }
}

TEST_F(Catalogue, NoRcloneAndRefusedDescriptionsGiveTheirFixedReplies) {
    const ConnectionDescription bad{{"kind", "sftp"}, {"host", "-h"}};
    EXPECT_EQ(harness.call<msg::rcloneTestWithConnection>({bad}), (std::tuple{false, std::string("invalid")}));
    EXPECT_EQ(harness.call<msg::rcloneStatWithConnection>({bad, "/"}), (std::tuple{-1, std::string()}));
    EXPECT_TRUE(rclone.calls().empty());

    fs::remove(rclone.path());
    const ConnectionDescription s3{{"kind", "s3"}, {"provider", "AWS"}, {"accessKey", "AKIA"}};
    EXPECT_EQ(harness.call<msg::rcloneAuthorizeWithType>({"box", "r", {}}), std::tuple{Text("rclone")});
    EXPECT_EQ(harness.call<msg::rcloneTestWithConnection>({s3}), (std::tuple{false, std::string("rclone")}));
    EXPECT_EQ(harness.call<msg::rcloneStatWithConnection>({s3, "b/x"}), (std::tuple{-1, std::string()}));
    EXPECT_EQ(harness.call<msg::rcloneRemotesWithReply>({}), std::tuple{std::string()});
}

TEST_F(Catalogue, TestListsTheDescriptionPathWithSecretsInTheEnvironmentOnly) {
    const std::string secret = "wJalrXUtnFEMI/K7MDENG";
    rclone.answerTo("lsf", {.output = "file\n", .errorOutput = "a notice"});
    const ConnectionDescription s3{
        {"kind", "s3"}, {"provider", "AWS"}, {"accessKey", "AKIA"}, {"secret", secret}, {"path", "bkt/d"}};
    EXPECT_EQ(harness.call<msg::rcloneTestWithConnection>({s3}), (std::tuple{true, std::string("a notice")}));
    const auto runs = rclone.calls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].arguments,
              (Arguments{"lsf", R"(:s3,provider="AWS",env_auth=false,access_key_id="AKIA":bkt/d)", "--max-depth",
                         "1"}));
    EXPECT_EQ(runs[0].environment.at("RCLONE_S3_SECRET_ACCESS_KEY"), secret);
    expectNoArgumentHolds(secret);

    // A refused login carries the error text.
    const std::string password = "hunter2 with spaces";
    rclone.answerTo("obscure", {.output = "OBSCURED\n"});
    rclone.answerTo("lsf", {.errorOutput = "ssh: unable to authenticate", .status = 1});
    const ConnectionDescription sftp{{"kind", "sftp"}, {"host", "example.org"}, {"password", password}};
    EXPECT_EQ(harness.call<msg::rcloneTestWithConnection>({sftp}),
              (std::tuple{false, std::string("ssh: unable to authenticate")}));
    ASSERT_EQ(rclone.calls().size(), 3u);
    EXPECT_EQ(rclone.calls()[2].environment.at("RCLONE_SFTP_PASS"), "OBSCURED");
    expectNoArgumentHolds(password);
}

TEST_F(Catalogue, StatPassesStatusAndOutputThrough) {
    rclone.answerTo("lsjson", {.output = R"({"Path":"x"})", .errorOutput = "ignored"});
    const ConnectionDescription sftp{{"kind", "sftp"}, {"host", "h"}};
    EXPECT_EQ(harness.call<msg::rcloneStatWithConnection>({sftp, "/srv/x"}),
              (std::tuple{0, std::string(R"({"Path":"x"})")}));
    EXPECT_EQ(rclone.calls().at(0).arguments,
              (Arguments{"lsjson", "--stat", R"(:sftp,host="h",key_use_agent=true:/srv/x)"}));
    rclone.answerTo("lsjson", {.errorOutput = "object not found", .status = 3});
    EXPECT_EQ(harness.call<msg::rcloneStatWithConnection>({sftp, "/srv/missing"}), (std::tuple{3, std::string()}));
}

// The real rclone with a configuration of its own holding local remotes.
class RealRcloneCatalogue : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(debianRclone, X_OK) != 0) GTEST_SKIP() << "rclone is not installed at " << debianRclone;
        harness.platform.tools.rcloneAbsoluteCandidates = {debianRclone};
        useRcloneConfig(harness.platform, harness.home.path() / "rclone.conf",
                        "[here]\ntype = local\n\n[there too]\ntype = local\n");
        writeFile(data() + "/notes.txt", "hello");
        installCatalogueServices(harness.services);
    }
    std::string data() const { return harness.home.str() + "/data"; }
    ConnectionDescription here(const std::string& path) const {
        return {{"kind", "remote"}, {"remote", "here"}, {"path", path}};
    }
    SessionHarness harness;
};

TEST_F(RealRcloneCatalogue, ListsTestsAndStats) {
    EXPECT_EQ(harness.call<msg::rcloneRemotesWithReply>({}), std::tuple{std::string("here\tlocal\nthere too\tlocal")});

    EXPECT_TRUE(std::get<0>(harness.call<msg::rcloneTestWithConnection>({here(data())})));
    const auto [works, message] = harness.call<msg::rcloneTestWithConnection>({here(data() + "/absent")});
    EXPECT_FALSE(works);
    EXPECT_FALSE(message.empty());

    const auto [status, listing] = harness.call<msg::rcloneStatWithConnection>({here(""), data() + "/notes.txt"});
    EXPECT_EQ(status, 0);
    EXPECT_NE(listing.find("\"notes.txt\""), std::string::npos) << listing;
    EXPECT_NE(std::get<0>(harness.call<msg::rcloneStatWithConnection>({here(""), data() + "/absent.txt"})), 0);
}

}  // namespace
}  // namespace companion::storage
