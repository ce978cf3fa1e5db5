#include "storage/rclone.h"

#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "storage/rclone_stand_in.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using namespace companion::testing;

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

struct Placement {
    std::vector<size_t> executable;
    std::vector<size_t> notExecutable;
    std::optional<size_t> expected;
};

TEST_F(RcloneCandidates, FirstExecutableCandidateWinsInOrder) {
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

TEST(ListRemotes, RunsTheListingWithTheRcloneEnvironment) {
    SessionHarness harness;
    lookOnlyBelowHome(harness.platform);
    harness.platform.environment = [] { return Environment{{"PATH", "/not/searched"}, {"MARKER", "kept"}}; };
    ToolStandIn rclone(homeCandidate(harness.home.path()));
    rclone.answerTo("listremotes", {.output = "a:      drive\n"});
    EXPECT_EQ(listRemotes(harness.platform), (std::vector<RemoteEntry>{{"a", "drive"}}));
    const auto runs = rclone.calls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"listremotes", "--long"}));
    EXPECT_EQ(runs[0].environment.at("PATH"), ToolPaths{}.rcloneSearchPath);
    EXPECT_EQ(runs[0].environment.at("MARKER"), "kept");
}

}  // namespace
}  // namespace companion::storage
