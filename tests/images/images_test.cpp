// Vaults, attached images and encrypted archives, run against a stand-in disk-image tool; and
// unmount by path: what may be unmounted, and the answer read from the mount table afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>

#include "core/input_checks.h"
#include "images/images_services.h"
#include "images/unmount.h"
#include "platform/unique_fd.h"
#include "support/files.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"
#include "support/tool_harness.h"

namespace companion::images {
namespace {

namespace fs = std::filesystem;
using namespace service::msg;
using namespace companion::testing;

class ImagesTest : public ::testing::Test {
protected:
    ImagesTest() { h.platform.mountTable = [this] { return mounts; }; }

    std::string file(const std::string& relative, const std::string& text = "x") {
        testing::writeFile(h.files.path() / relative, text);
        return (h.files.path() / relative).string();
    }
    std::string folder() const { return h.files.str(); }
    std::string in(const std::string& relative) const { return (h.files.path() / relative).string(); }
    // The arguments of every run of the tool so far.
    Runs runs() const {
        Runs runs;
        for (const auto& call : hdiutil.calls()) runs.push_back(call.arguments);
        return runs;
    }

    ToolHarness h{installImagesServices};
    ToolStandIn hdiutil = h.standIn("hdiutil", &ToolPaths::hdiutil);
    MountTable mounts{{"/", "ext4"}};
};

// ---- encrypted vaults: create ----

TEST_F(ImagesTest, CreateRefusesWithoutRunningTheTool) {
    file("exists.sparsebundle");
    // Path (below the test's folder when it starts with a slash), volume name, maximum size.
    const std::tuple<std::string, std::string, int64_t> cases[] = {
        {"/v.sparsebundle", "V", 0},        {"/v.sparsebundle", "V", -5},      {"/v.sparsebundle", "V", 16385},
        {"/v.SparseBundle", "V", 10},       {"/v.dmg", "V", 10},               {"/none/v.sparsebundle", "V", 10},
        {"/exists.sparsebundle", "V", 10},  {"vaults/a.sparsebundle", "V", 10}, {"/v\n.sparsebundle", "V", 10},
        {"/v.sparsebundle", "My/Vault", 10}, {"/v.sparsebundle", "", 10},
    };
    for (const auto& [given, volumeName, maxGB] : cases) {
        const std::string path = given.starts_with("/") ? folder() + given : given;
        EXPECT_EQ(h.call<vaultCreateWithPath>({path, volumeName, maxGB, "pw"}), vaultCreateWithPath::refused())
            << given << " " << volumeName << " " << maxGB;
    }
    EXPECT_TRUE(runs().empty());
}

TEST_F(ImagesTest, CreateRunsTheThirteenArgumentsAndRepliesTheErrorText) {
    hdiutil.answer({.output = "dropped", .errorOutput = "created\n"});
    setenv("COMPANION_INHERITED", "yes", 1);
    const auto reply = h.call<vaultCreateWithPath>({in("./v.sparsebundle/"), "Vault: A B", 16384, ""});
    EXPECT_EQ(reply, std::tuple(0, std::string("created\n")));
    EXPECT_EQ(runs(), (Runs{{"create", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256", "-size",
                             "16384g", "-volname", "Vault: A B", "-stdinpass", in("v.sparsebundle")}}));
    const auto calls = hdiutil.calls();
    EXPECT_EQ(calls[0].input, std::string(1, '\0')) << "an empty password is the zero byte alone";
    EXPECT_EQ(calls[0].environment.at("COMPANION_INHERITED"), "yes") << "the agent's environment is inherited";
}

// ---- attach ----

TEST_F(ImagesTest, AttachPassesNobrowseFourthOnlyWhenHidden) {
    const std::string image = file("v.sparsebundle");
    hdiutil.answer({.output = "<plist/>\n", .errorOutput = "note"});
    EXPECT_EQ(h.call<vaultAttachWithPath>({image, "pw", false}), std::tuple(0, std::string("<plist/>\n"), std::string("note")));
    EXPECT_EQ(h.call<vaultAttachWithPath>({folder() + "/./v.sparsebundle", "pw", true}),
              std::tuple(0, std::string("<plist/>\n"), std::string("note")));
    EXPECT_EQ(runs(), (Runs{{"attach", "-plist", "-stdinpass", image},
                            {"attach", "-plist", "-stdinpass", "-nobrowse", image}}));
    EXPECT_EQ(hdiutil.calls()[0].input, std::string("pw\0", 3));
}

TEST_F(ImagesTest, AttachAndDetachRefuseWhatDoesNotExistIsNotAbsoluteOrIsNotMounted) {
    file("v.dmg");
    for (const std::string& path : {in("none.dmg"), std::string("v.dmg"), in("v\n.dmg")}) {
        EXPECT_EQ(h.call<vaultAttachWithPath>({path, "pw", true}), vaultAttachWithPath::refused()) << path;
        EXPECT_EQ(h.call<vaultDetachWithMountPoint>({path, false}), vaultDetachWithMountPoint::refused()) << path;
    }
    EXPECT_EQ(h.call<vaultDetachWithMountPoint>({folder(), true}), vaultDetachWithMountPoint::refused());
    mounts.clear();
    EXPECT_EQ(h.call<vaultDetachWithMountPoint>({"/", true}), vaultDetachWithMountPoint::refused())
        << "an empty mount table holds nothing";
    EXPECT_TRUE(runs().empty());
}

// ---- detach ----

TEST_F(ImagesTest, DetachJoinsBothOutputsWithoutASeparator) {
    mounts[folder()] = "apfs";
    hdiutil.answer({.output = "A", .errorOutput = "B", .status = 16});
    EXPECT_EQ(h.call<vaultDetachWithMountPoint>({folder() + "/", true}), std::tuple(16, std::string("AB")));
    hdiutil.answer({});
    EXPECT_EQ(h.call<vaultDetachWithMountPoint>({folder(), false}), std::tuple(0, std::string()));
    EXPECT_EQ(runs(), (Runs{{"detach", "-force", folder()}, {"detach", folder()}}));
    EXPECT_EQ(hdiutil.calls()[0].input, "") << "the null device";
}

// ---- encrypted archive ----

TEST_F(ImagesTest, ArchiveRefusesTheWholeRequestWithoutRunningTheTool) {
    file("a.txt");
    file("b/c.txt");
    file("exists.dmg");
    const std::string a = in("a.txt"), b = in("b");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, in("out.dmg")},
        {{a, in("none"), b}, in("out.dmg")},
        {{a, "b", b}, in("out.dmg")},
        {{a}, in("out.DMG")},
        {{a}, in("out.sparsebundle")},
        {{a}, in("exists.dmg")},
        {{a}, in("none/out.dmg")},
        {{a}, "out.dmg"},
    };
    for (const auto& [items, destination] : cases)
        EXPECT_EQ(h.call<encryptedArchiveWithItems>({items, destination, "pw"}), encryptedArchiveWithItems::refused())
            << destination;
    EXPECT_TRUE(runs().empty());
}

TEST_F(ImagesTest, ArchivePassesStandardizedItemsInOrderAndNamesTheVolumeAfterTheDestination) {
    file("a.txt");
    file("b/c.txt");
    hdiutil.answer({.output = "dropped", .errorOutput = "done"});
    EXPECT_EQ(h.call<encryptedArchiveWithItems>(
                  {{folder() + "/b/../a.txt", folder() + "/./b/"}, folder() + "//Reports.dmg", "pw"}),
              std::tuple(0, std::string("done")));
    EXPECT_EQ(runs(), (Runs{{"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname", "Reports",
                             "-srcfolder", in("a.txt"), "-srcfolder", in("b"), in("Reports.dmg")}}));
}

// ---- what every message shares ----

// The list of attached images is standard output whatever the status.
TEST_F(ImagesTest, FailuresReplyTheToolsStatusAndErrorText) {
    hdiutil.answer({.output = "partial", .errorOutput = "failed", .status = 1});
    EXPECT_EQ(h.call<vaultCreateWithPath>({in("v.sparsebundle"), "V", 1, "pw"}), std::tuple(1, std::string("failed")));
    EXPECT_EQ(h.call<vaultAttachWithPath>({file("v.dmg"), "wrong", false}),
              std::tuple(1, std::string("partial"), std::string("failed")));
    EXPECT_EQ(h.call<encryptedArchiveWithItems>({{in("v.dmg")}, in("a.b.dmg"), "pw"}), std::tuple(1, std::string("failed")));
    EXPECT_EQ(runs().at(2).at(7), "a.b") << "only the last extension leaves the volume name";
    EXPECT_EQ(h.call<attachedImagesWithReply>({}), std::tuple(std::string("partial")));
    EXPECT_EQ(runs().at(3), (std::vector<std::string>{"info", "-plist"}));
}

TEST_F(ImagesTest, PasswordsReachTheToolOnlyOnStandardInput) {
    const std::string password = "p w 'q' \"d\"\nzé€😀";
    const std::string image = file("v.dmg");
    h.call<vaultCreateWithPath>({in("v.sparsebundle"), "V", 5, password});
    h.call<vaultAttachWithPath>({image, password, true});
    h.call<encryptedArchiveWithItems>({{image}, in("out.dmg"), password});
    const auto calls = hdiutil.calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) {
        EXPECT_EQ(call.input, password + std::string(1, '\0'));
        for (const auto& argument : call.arguments) EXPECT_EQ(argument.find("p w"), std::string::npos) << argument;
        for (const auto& [name, value] : call.environment) EXPECT_EQ(value.find("p w"), std::string::npos) << name;
    }
}

TEST_F(ImagesTest, AToolPastItsLimitIsTerminatedAndItsPartialOutputReplied) {
    // Attach's 300 s become 0.3 s.
    h.platform.toolTimeLimitScale = 0.001;
    hdiutil.answer({.output = "<partial", .errorOutput = "still working", .hang = true});
    EXPECT_EQ(h.call<vaultAttachWithPath>({file("v.dmg"), "pw", false}),
              std::tuple(SIGTERM, std::string("<partial"), std::string("still working")));
}

// ---- unmount by path ----

const fs::path recordingUmount = fs::path(COMPANION_TEST_HELPERS) / "mount/umount";

// A session whose umount records its runs before handing them to the real one.
struct UnmountHarness {
    UnmountHarness() {
        h.platform.tools.umount = (h.home.path() / "umount").string();
        fs::copy_file(recordingUmount, h.platform.tools.umount);
        installImagesServices(h.services);
    }
    ~UnmountHarness() { testing::detachMountsBelow(h.home.str()); }

    std::string root() const { return allowedMountRoots(h.platform).front(); }
    bool unmount(const std::string& path, bool force) { return std::get<0>(h.call<unmountWithPath>({path, force})); }
    std::vector<std::string> runs() const { return testing::readLines(h.home.path() / "runs"); }

    testing::SessionHarness h;
};

// Which mount points a root allows is tested with the input checks.
TEST(Unmount, RefusesWhatIsNotTheHostsMountPointWithoutRunningTheTool) {
    UnmountHarness u;
    EXPECT_TRUE(mayUnmount(u.h.platform, u.root() + "/vol"));
    EXPECT_TRUE(mayUnmount(u.h.platform, "/Volumes/Backup Disk"));
    EXPECT_FALSE(mayUnmount(u.h.platform, "/Volumes"));
    EXPECT_FALSE(mayUnmount(u.h.platform, "/VolumesX/a"));
    fs::create_directories(u.root() + "/ordinary");
    EXPECT_FALSE(u.unmount(u.root() + "/ordinary", false));
    EXPECT_FALSE(u.unmount("/", true)) << "mounted, but not the host's";
    EXPECT_TRUE(u.runs().empty());
}

TEST(Unmount, ForcesOnlyWhenAskedAndAnswersFromTheTable) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    UnmountHarness u;
    const std::string volume = u.root() + "/vol";
    fs::create_directories(volume);
    ASSERT_EQ(::mount("tmpfs", volume.c_str(), "tmpfs", 0, nullptr), 0);
    {
        testing::writeFile(volume + "/open", "held");
        const UniqueFd open(::open((volume + "/open").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(open.valid());
        EXPECT_FALSE(u.unmount(volume, false)) << "busy";
        EXPECT_TRUE(u.h.platform.mountTable().contains(volume));
    }
    EXPECT_TRUE(u.unmount(volume + "/../vol/./", true)) << "standardized for the table and the tool";
    EXPECT_EQ(u.runs(), (std::vector<std::string>{volume, "-f " + volume}));
    EXPECT_FALSE(u.h.platform.mountTable().contains(volume));
}

}  // namespace
}  // namespace companion::images
