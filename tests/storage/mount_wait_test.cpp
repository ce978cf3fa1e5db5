// The wait for a mount point reads the mount table only when the kernel says it changed. (Its
// answers when the process ends or the deadline passes are seen through the mount requests.)

#include "platform/mounts/mount_wait.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/platform.h"
#include "platform/process/process.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"

namespace companion::mounts {
namespace {

using namespace std::chrono_literals;

TEST(MountWait, SeesAMountAsItComesUpAndReadsTheTableOnlyOnChanges) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    testing::TempDir folder;
    const std::string mountPoint = folder.str() + "/mounted";
    std::filesystem::create_directory(mountPoint);
    auto sleeper = std::get<process::Process>(process::Process::launch({"/bin/sleep", {"30"}}));
    std::atomic<int> readings{0};
    const MountTableReader counted = [&] {
        ++readings;
        return systemMountTable();
    };
    std::thread mounter([&] {
        std::this_thread::sleep_for(500ms);
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, nullptr);
    });
    const auto start = Clock::now();
    EXPECT_EQ(waitForMountPoint(mountPoint, sleeper.pidFd(), start + 20s, counted), MountWait::mounted);
    mounter.join();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(readings.load(), 2) << "once at the start, once after the one change";
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace companion::mounts
