// Unmount by path: what may be unmounted, and the answer read from the mount table afterwards.

#include "images/unmount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "core/input_checks.h"
#include "images/images_services.h"
#include "platform/process/unique_fd.h"
#include "support/files.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"

namespace companion::images {
namespace {

namespace fs = std::filesystem;
using service::msg::unmountWithPath;

const fs::path recordingUmount = fs::path(COMPANION_TEST_HELPERS) / "mount/umount";

TEST(MayUnmount, HostMountPointsAndVolumesOnly) {
    testing::SessionHarness h;
    const std::string root = allowedMountRoots(h.platform).front();
    EXPECT_TRUE(mayUnmount(h.platform, root + "/vol"));
    EXPECT_TRUE(mayUnmount(h.platform, "/Volumes/Backup Disk"));
    EXPECT_FALSE(mayUnmount(h.platform, root + "/vol/deeper"));
    EXPECT_FALSE(mayUnmount(h.platform, root));
    EXPECT_FALSE(mayUnmount(h.platform, "/Volumes"));
    EXPECT_FALSE(mayUnmount(h.platform, "/VolumesX/a"));
    EXPECT_FALSE(mayUnmount(h.platform, "/"));
}

// A session whose umount records its runs before handing them to the real one.
struct UnmountHarness {
    UnmountHarness() {
        h.platform.tools.umount = (h.home.path() / "umount").string();
        fs::copy_file(recordingUmount, h.platform.tools.umount);
        installCoreServices(h.services);
        installImagesServices(h.services);
    }
    ~UnmountHarness() { testing::detachMountsBelow(h.home.str()); }

    std::string root() const { return allowedMountRoots(h.platform).front(); }
    std::string mountTmpfs(const std::string& path) const {
        fs::create_directories(path);
        EXPECT_EQ(::mount("tmpfs", path.c_str(), "tmpfs", 0, nullptr), 0) << path;
        return path;
    }
    bool unmount(const std::string& path, bool force) { return std::get<0>(h.call<unmountWithPath>({path, force})); }
    std::vector<std::string> runs() const { return testing::readLines(h.home.path() / "runs"); }

    testing::SessionHarness h;
};

TEST(Unmount, RefusesWhatIsNotAMountPointWithoutRunningTheTool) {
    UnmountHarness u;
    const std::string folder = u.root() + "/ordinary";
    fs::create_directories(folder);
    EXPECT_FALSE(u.unmount(folder, false));
    EXPECT_FALSE(u.unmount("relative/path", false));
    EXPECT_FALSE(u.unmount("/Volumes", true));
    EXPECT_FALSE(u.unmount("/", true)) << "mounted, but not the host's";
    EXPECT_TRUE(u.runs().empty());
}

TEST(Unmount, StandardizesThePathAndAnswersFromTheTable) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    UnmountHarness u;
    const std::string volume = u.mountTmpfs(u.root() + "/vol");
    const std::string deeper = u.mountTmpfs(u.root() + "/a/b");

    EXPECT_FALSE(u.unmount(deeper, true)) << "two levels below a root";
    EXPECT_TRUE(u.unmount(volume + "/./", true));
    EXPECT_EQ(u.runs(), std::vector<std::string>{"-f " + volume});
    EXPECT_FALSE(u.h.platform.mountTable().contains(volume));
}

TEST(Unmount, ABusyVolumeStaysWithoutForce) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    UnmountHarness u;
    const std::string volume = u.mountTmpfs(u.root() + "/busy");
    testing::writeFile(volume + "/open", "held");
    const UniqueFd open(::open((volume + "/open").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(open.valid());
    EXPECT_FALSE(u.unmount(volume, false));
    EXPECT_TRUE(u.h.platform.mountTable().contains(volume));
    EXPECT_EQ(u.runs(), std::vector<std::string>{volume});
}

}  // namespace
}  // namespace companion::images
