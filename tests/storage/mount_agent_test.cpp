// Mounts end to end: the built agent, driven by tavro-companion-ctl, with the translating rclone
// stand-in where the agent looks for rclone first and a recording umount over the real one.
// Root only, in a private namespace: both stand-ins are laid over system folders there.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <future>

#include "core/command_runner.h"
#include "core/input_checks.h"
#include "support/agent_process.h"
#include "support/files.h"
#include "support/mount_namespace.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path helpers = fs::path(COMPANION_TEST_HELPERS) / "mount";
// The first place the agent looks for rclone.
const fs::path rcloneFolder = "/opt/homebrew/bin";
const fs::path systemUmount = "/bin/umount";

// Everything the agent of one test sees: a home with a local remote, rclone and umount
// stand-ins, and the agent itself, started last so that it inherits the environment.
class MountedAgent {
public:
    MountedAgent() {
        writeFile(config(), "[loc]\ntype = local\n");
        writeFile(home_.path() / "remote/hello.txt", "hello through the agent\n");
        layStandIns();
        ::setenv("HOME", home_.str().c_str(), 1);
        ::setenv("RCLONE_CONFIG", config().c_str(), 1);
        ::setenv("COMPANION_STANDIN_RECORD", (home_.path() / "record").c_str(), 1);
        ::setenv("COMPANION_UMOUNT_RECORD", (home_.path() / "umount-runs").c_str(), 1);
        ::setenv("COMPANION_REAL_UMOUNT", (home_.path() / "real-umount").c_str(), 1);
        agent_.emplace();
    }
    ~MountedAgent() {
        agent_.reset();
        detachMountsBelow(home_.str());
    }

    bool ready() { return agent_->waitForSocket(); }
    fs::path home() const { return home_.path(); }
    std::string mountPoint() const { return allowedMountRoots(home_.str()).front() + "/vol"; }

    CommandResult ctl(std::vector<std::string> words, double linger = 0) const {
        words.insert(words.begin(), {"--linger", std::to_string(linger)});
        return testing::ctl(agent_->socketPath(), words, 120);
    }
    CommandResult mount(double linger) const {
        return ctl({"call", "rcloneMountWithId:connection:mountPoint:volumeName:readOnly:reply:", "\"e2e\"",
                    R"({"kind":"remote","remote":"loc","path":")" + home_.str() + "/remote\"}", "\"" + mountPoint() + "\"",
                    "\"Vol\"", "false"},
                   linger);
    }
    bool mounted() const { return systemMountTable().contains(mountPoint()); }

private:
    std::string config() const { return home_.str() + "/rclone.conf"; }

    // Only inside this test's mount namespace: the folders stay as they are everywhere else.
    void layStandIns() const {
        ASSERT_EQ(::mount("tmpfs", "/opt", "tmpfs", 0, nullptr), 0);
        fs::create_directories(rcloneFolder);
        fs::copy_file(helpers / "rclone", rcloneFolder / "rclone");
        fs::copy_file(systemUmount, home_.path() / "real-umount");
        fs::copy_file(helpers / "umount", home_.path() / "umount");
        ASSERT_EQ(::mount((home_.path() / "umount").c_str(), systemUmount.c_str(), nullptr, MS_BIND, nullptr), 0);
    }

    TempDir home_;
    std::optional<AgentProcess> agent_;
};

TEST(MountThroughTheAgent, MountsServesAndTellsTheLingeringClientWhenItEnds) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountedAgent agent;
    ASSERT_TRUE(agent.ready());
    auto client = std::async(std::launch::async, [&] { return agent.mount(5); });
    ASSERT_TRUE(eventually([&] { return agent.mounted(); }, 30s));
    EXPECT_EQ(readFile(agent.mountPoint() + "/hello.txt"), "hello through the agent\n");

    const auto unmounted = agent.ctl({"call", "unmountWithPath:force:reply:", "\"" + agent.mountPoint() + "\"", "false"});
    EXPECT_EQ(unmounted.output, "{\"reply\":[true]}\n") << unmounted.errorOutput;
    EXPECT_EQ(client.get().output,
              "{\"reply\":[true,\"\"]}\n"
              "{\"callback\":\"rcloneMountEnded:\",\"args\":[\"e2e\"]}\n");
    EXPECT_FALSE(agent.mounted());
}

TEST(MountThroughTheAgent, AClientThatLeavesHasItsMountUnmountedAndRcloneEnded) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountedAgent agent;
    ASSERT_TRUE(agent.ready());
    EXPECT_EQ(agent.mount(0).output, "{\"reply\":[true,\"\"]}\n");
    const pid_t rclone = recordedMountPid(agent.home() / "record");
    ASSERT_GT(rclone, 0);

    EXPECT_TRUE(eventually([&] { return !agent.mounted() && isGone(rclone); }, 20s));
    EXPECT_EQ(readLines(agent.home() / "umount-runs"), std::vector<std::string>{agent.mountPoint()})
        << "the plain unmount ran and sufficed: no forced one";
}

}  // namespace
}  // namespace companion::testing
