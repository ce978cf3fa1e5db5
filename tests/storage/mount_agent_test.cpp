// Mounts end to end: the built agent, driven by tavro-companion-ctl, mounting through the
// machine's own rclone. Root only, in a private namespace, so nothing reaches this machine's
// mount table.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <future>

#include "core/input_checks.h"
#include "platform/mounts/removable_media.h"
#include "platform/process/process.h"
#include "storage/rclone_stand_in.h"
#include "support/agent_process.h"
#include "support/files.h"
#include "support/mount_namespace.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A temporary home whose rclone configuration has one local remote "loc" over a folder holding
// one file, made the process's own before its agent starts.
struct RemoteHome {
    RemoteHome() {
        writeFile(home.path() / "remote/hello.txt", "hello through the agent\n");
        writeFile(home.path() / "rclone.conf", "[loc]\ntype = local\n");
        // The agent, started last, inherits the environment.
        ::setenv("HOME", home.str().c_str(), 1);
        ::setenv("RCLONE_CONFIG", (home.path() / "rclone.conf").c_str(), 1);
    }
    TempDir home;
};

struct AgentWithRemote : RemoteHome {
    std::string root() const { return allowedMountRoots(home.str()).front(); }
    std::string remote() const { return "loc:" + home.str() + "/remote"; }
    CommandResult call(const std::vector<std::string>& words, double limit = 30) const {
        return ctl(agent.socketPath(), words, limit);
    }
    // rclone mounting the remote at `mountPoint` on its own, as a mount left by an earlier agent.
    process::Process mountDirectly(const std::string& mountPoint) const {
        fs::create_directories(mountPoint);
        auto launched = process::Process::launch({debianRclone, {"mount", remote(), mountPoint}});
        EXPECT_TRUE(eventually([&] { return systemMountTable().contains(mountPoint); }, 20s));
        return std::move(std::get<process::Process>(launched));
    }

    AgentProcess agent;
};

TEST(MountThroughTheAgent, MountsServesAndUnmountsWhenTheConnectionEnds) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    AgentWithRemote a;
    ASSERT_TRUE(a.agent.waitForSocket());
    const std::string mountPoint = a.root() + "/vol";
    const auto mounted = [&] { return systemMountTable().contains(mountPoint); };

    auto client = std::async(std::launch::async, [&] {
        return a.call({"--linger", "3", "call", "rcloneMountWithId:connection:mountPoint:volumeName:readOnly:reply:",
                       "\"e2e\"", R"({"kind":"remote","remote":"loc","path":")" + a.home.str() + "/remote\"}",
                       "\"" + mountPoint + "\"", "\"Vol\"", "false"},
                      120);
    });
    ASSERT_TRUE(eventually(mounted, 30s));
    EXPECT_EQ(readFile(mountPoint + "/hello.txt"), "hello through the agent\n");
    EXPECT_EQ(client.get().output, "{\"reply\":[true,\"\"]}\n");
    EXPECT_TRUE(eventually([&] { return !mounted(); }, 20s)) << "the connection's end unmounts";
}

TEST(MountThroughTheAgent, AStaleMountIsListedAndStoppedWithoutADeadMountLeft) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    AgentWithRemote a;
    ASSERT_TRUE(a.agent.waitForSocket());
    const std::string mountPoint = a.root() + "/left over";
    auto leftover = a.mountDirectly(mountPoint);
    const std::string pid = std::to_string(leftover.pid());

    const auto listed = a.call({"call", "staleRcloneMountsWithReply:"});
    EXPECT_EQ(listed.output, "{\"reply\":[\"" + pid + "\\t" + a.remote() + "\\t" + mountPoint + "\"]}\n");
    EXPECT_EQ(a.call({"call", "stopStaleRcloneMountWithPid:reply:", pid}).output, "{\"reply\":[true]}\n");
    EXPECT_TRUE(leftover.waitFor(10s).has_value());
    EXPECT_FALSE(systemMountTable().contains(mountPoint));
}

// The user's own media folder is open to the unmount request; another user's is not, and
// nothing runs for it.
TEST(MountThroughTheAgent, RemovableDisksOfThisUserOnlyAreUnmounted) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    AgentWithRemote a;
    ASSERT_EQ(::mount("tmpfs", "/media", "tmpfs", 0, nullptr), 0);
    ASSERT_TRUE(a.agent.waitForSocket());
    const std::string own = "/media/" + mounts::currentUserName() + "/USB DISK";
    const std::string others = "/media/someone-else/USB DISK";
    auto ownDisk = a.mountDirectly(own);
    auto othersDisk = a.mountDirectly(others);
    const auto unmount = [&](const std::string& path) {
        return a.call({"call", "unmountWithPath:force:reply:", "\"" + path + "\"", "false"}).output;
    };

    EXPECT_EQ(unmount(others), "{\"reply\":[false]}\n");
    EXPECT_TRUE(othersDisk.isRunning());
    EXPECT_TRUE(systemMountTable().contains(others));
    EXPECT_EQ(unmount(own), "{\"reply\":[true]}\n");
    EXPECT_FALSE(systemMountTable().contains(own));
}

}  // namespace
}  // namespace companion::testing
