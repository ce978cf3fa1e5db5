// Unmount by path: what may be unmounted, and the answer read from the mount table afterwards.

#include "images/unmount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "core/input_checks.h"
#include "images/images_services.h"
#include "platform/unique_fd.h"
#include "support/files.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"

namespace companion::images {
namespace {

namespace fs = std::filesystem;
using service::msg::unmountWithPath;

const fs::path recordingUmount = fs::path(COMPANION_TEST_HELPERS) / "mount/umount";

// Which mount points a root allows is tested with the input checks; "/" with the requests below.
TEST(MayUnmount, HostMountPointsAndVolumesOnly) {
    testing::SessionHarness h;
    EXPECT_TRUE(mayUnmount(h.platform, allowedMountRoots(h.platform).front() + "/vol"));
    EXPECT_TRUE(mayUnmount(h.platform, "/Volumes/Backup Disk"));
    EXPECT_FALSE(mayUnmount(h.platform, "/Volumes"));
    EXPECT_FALSE(mayUnmount(h.platform, "/VolumesX/a"));
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
    bool unmount(const std::string& path, bool force) { return std::get<0>(h.call<unmountWithPath>({path, force})); }
    std::vector<std::string> runs() const { return testing::readLines(h.home.path() / "runs"); }

    testing::SessionHarness h;
};

TEST(Unmount, RefusesWhatIsNotTheHostsMountPointWithoutRunningTheTool) {
    UnmountHarness u;
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
