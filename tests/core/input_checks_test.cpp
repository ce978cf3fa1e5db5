#include "core/input_checks.h"

#include <sys/mount.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/mount_namespace.h"
#include "support/session_fixture.h"

namespace companion {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// A text and whether the check holds for it.
using Verdict = std::pair<std::string, bool>;

TEST(InputChecks, ControlCharactersAreThoseBelowSpace) {
    const Verdict cases[] = {{"", false}, {"plain", false}, {"tab\there", true}, {"line\nfeed", true},
                             {std::string("nul\0x", 5), true}, {"unit\x1f", true}, {"delete\x7f", false},
                             {"c1\xc2\x85", false}, {"\xf0\x9f\x98\x80\xf0\x9f\x8e\x89", false}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(hasControlCharacters(text), expected) << text;
}

TEST(InputChecks, StandardizationRemovesDotsRepeatsAndTrailingSlashes) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a/./b/../c", "/a/c"}, {"/a//b///", "/a/b"}, {"/", "/"},      {"//", "/"},
        {"/..", "/"},            {"/../x", "/x"},       {"/a/b/../../..", "/"}, {"/a/...", "/a/..."}};
    for (const auto& [input, expected] : cases) EXPECT_EQ(standardizePath(input), expected) << input;
}

TEST(InputChecks, IdentifiersMatchTheWholeText) {
    const Verdict cases[] = {{"es.vextralune.tavro", true}, {"user@example.org", true}, {"_x-1", true},
                             {".profile", true},           {"", false},                {"-flag", false},
                             {"a b", false},               {"name\n", false},          {"a/b", false},
                             {"caf\xc3\xa9", false}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(isIdentifier(text), expected) << text;
}

class SanitizedPaths : public ::testing::Test {
protected:
    void SetUp() override {
        testing::writeFile(dir.path() / "folder/file", "x");
        fs::create_symlink(dir.path() / "folder", dir.path() / "link");
        fs::create_symlink(dir.path() / "missing", dir.path() / "dangling");
    }
    std::string at(const std::string& relative) const { return dir.str() + "/" + relative; }
    TempDir dir;
};

TEST_F(SanitizedPaths, AreAbsoluteCleanStandardizedAndExistOrAreFoldersWhenAsked) {
    for (bool mustExist : {false, true}) {
        EXPECT_FALSE(sanitizedPath("folder/file", mustExist));
        EXPECT_FALSE(sanitizedPath(at("folder\n"), mustExist));
    }
    EXPECT_EQ(sanitizedPath(at("folder/./x/../file"), true), at("folder/file"));
    // ".." is resolved on the text, so a missing component before it does not matter.
    EXPECT_EQ(sanitizedPath(at("nothing/.."), true), dir.str());
    EXPECT_EQ(sanitizedPath(at("link/file"), true), at("link/file"));
    EXPECT_FALSE(sanitizedPath(at("dangling"), true));
    EXPECT_EQ(sanitizedPath(at("absent/"), false), at("absent"));
    // Directories must be directories.
    EXPECT_EQ(sanitizedDirectory(at("folder/")), at("folder"));
    EXPECT_EQ(sanitizedDirectory(at("link")), at("link"));
    EXPECT_FALSE(sanitizedDirectory(at("folder/file")));
    EXPECT_FALSE(sanitizedDirectory(at("absent")));
}

TEST(InputChecks, MountPointsAreOneFolderDirectlyInsideARoot) {
    const std::string home = "/home/u";
    const std::string root = home + "/Library/Application Support/Tavro/Montages";
    const std::string containers = home + "/Library/Containers/";
    const std::string inContainer = "/Data/Library/Application Support/Tavro/Montages";
    ASSERT_EQ(allowedMountRoots(home), (std::vector<std::string>{root, containers + "es.vextralune.tavro" + inContainer,
                                                                 containers + "es.vextralune.tavro.sandboxtest" +
                                                                     inContainer}));
    const Verdict cases[] = {{root + "/My Drive", true},
                             {containers + "es.vextralune.tavro.sandboxtest" + inContainer + "/x", true},
                             {root + "//x/", true},
                             {root + "/x/../y", true},
                             {root, false},
                             {root + "/", false},
                             {root + "/x/y", false},
                             {root + "/x/..", false},
                             {root + "/../x", false},
                             {root + "2/x", false},
                             {root + "/x\n", false},
                             {containers + "other.app" + inContainer + "/x", false},
                             {root.substr(1) + "/x", false}};
    for (const auto& [path, expected] : cases) EXPECT_EQ(isAllowedMountPoint(path, home), expected) << path;
    EXPECT_TRUE(isAllowedMountPoint("/Library/Application Support/Tavro/Montages/x", "/"));
}

// The table lists a mount point with a space under its decoded name.
TEST(MountTable, DecodesMountPointsWithSpaces) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    TempDir folder;
    const std::string mountPoint = folder.str() + "/Application Support";
    fs::create_directory(mountPoint);
    ASSERT_EQ(::mount("companion-test", mountPoint.c_str(), "tmpfs", 0, nullptr), 0);
    const MountTable table = systemMountTable();
    ::umount2(mountPoint.c_str(), MNT_DETACH);
    EXPECT_TRUE(table.contains(mountPoint) && table.at(mountPoint) == "tmpfs");
}

}  // namespace
}  // namespace companion
