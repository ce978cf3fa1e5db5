// The preference store and the freedesktop Trash, on real files in a temporary folder.

#include <filesystem>
#include <variant>

#include <gtest/gtest.h>

#include "platform/preferences/preferences.h"
#include "platform/trash/trash.h"
#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using preferences::PreferenceStore;
using preferences::PreferenceValue;

TEST(PreferenceStore, ChangesWaitForSynchronisingWhichAlsoSeesOtherWriters) {
    TempDir home;
    PreferenceStore store([&] { return home.str(); });
    PreferenceStore other([&] { return home.str(); });
    store.setValue("d", "k", true);
    EXPECT_EQ(store.value("d", "k"), PreferenceValue(true)) << "a pending value reads back";
    EXPECT_FALSE(fs::exists(store.domainPath("d")));
    EXPECT_FALSE(other.value("d", "k").has_value());

    ASSERT_TRUE(store.synchronize("d"));
    EXPECT_FALSE(other.value("d", "k").has_value()) << "the other store has not synchronised yet";
    ASSERT_TRUE(other.synchronize("d"));
    EXPECT_EQ(other.value("d", "k"), PreferenceValue(true));

    other.setValue("d", "k", std::nullopt);
    ASSERT_TRUE(other.synchronize("d"));
    ASSERT_TRUE(store.synchronize("d"));
    EXPECT_FALSE(store.value("d", "k").has_value());
}

struct TrashTest : ::testing::Test {
    TempDir root;
    std::string trash() const { return root.str() + "/data/Trash"; }
    std::string item(const std::string& name, const std::string& text) const {
        writeFile(root.path() / "from" / name, text);
        return (root.path() / "from" / name).string();
    }
};

// The record names the original path percent-encoded.
TEST_F(TrashTest, TakenNamesGetANumberNothingIsReplacedAndAMissingItemLeavesNoRecord) {
    for (std::string name : {"a.plist", "a.plist", "a.plist", "no ext%", "no ext%"}) {
        const auto moved = trash::moveToTrash(item(name, "x"), trash());
        ASSERT_EQ(moved.index(), 0u) << std::get<1>(moved);
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(trash() + "/files")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a 2.plist", "a 3.plist", "a.plist", "no ext%", "no ext% 2"}));
    const std::string info = readFile(trash() + "/info/no ext% 2.trashinfo");
    EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=" + root.str() + "/from/no%20ext%25\nDeletionDate=")) << info;
    EXPECT_EQ(trash::moveToTrash(root.str() + "/from/none", trash()).index(), 1u) << "a missing item fails";
    EXPECT_EQ(std::distance(fs::directory_iterator(trash() + "/info"), fs::directory_iterator()), 5) << "unrecorded";
}

TEST(TrashFolder, DataHomeFromTheEnvironmentWhenAbsolute) {
    EXPECT_EQ(trash::userTrashDirectory("/h", {{"XDG_DATA_HOME", "/data"}}), "/data/Trash");
    EXPECT_EQ(trash::userTrashDirectory("/h", {{"XDG_DATA_HOME", "rel"}}), "/h/.local/share/Trash");
    EXPECT_EQ(trash::userTrashDirectory("/h", {}), "/h/.local/share/Trash");
}

}  // namespace
}  // namespace companion::testing
