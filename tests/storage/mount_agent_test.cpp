// Mounts end to end: the built agent, driven by tavro-companion-ctl, with the translating rclone
// stand-in where the agent looks for rclone first. Root only, in a private namespace: the
// stand-in is laid over a system folder there.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <future>

#include "core/input_checks.h"
#include "support/agent_process.h"
#include "support/files.h"
#include "support/mount_namespace.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The first place the agent looks for rclone.
const fs::path rcloneFolder = "/opt/homebrew/bin";

TEST(MountThroughTheAgent, MountsServesAndTellsTheLingeringClientWhenItEnds) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    TempDir home;
    const std::string mountPoint = allowedMountRoots(home.str()).front() + "/vol";
    writeFile(home.path() / "remote/hello.txt", "hello through the agent\n");
    writeFile(home.path() / "rclone.conf", "[loc]\ntype = local\n");
    // Only inside this test's mount namespace: /opt stays as it is everywhere else.
    ASSERT_EQ(::mount("tmpfs", "/opt", "tmpfs", 0, nullptr), 0);
    fs::create_directories(rcloneFolder);
    fs::copy_file(fs::path(COMPANION_TEST_HELPERS) / "mount/rclone", rcloneFolder / "rclone");
    // The agent, started last, inherits the environment.
    ::setenv("HOME", home.str().c_str(), 1);
    ::setenv("RCLONE_CONFIG", (home.path() / "rclone.conf").c_str(), 1);
    ::setenv("COMPANION_STANDIN_RECORD", (home.path() / "record").c_str(), 1);
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    const auto mounted = [&] { return systemMountTable().contains(mountPoint); };

    auto client = std::async(std::launch::async, [&] {
        return ctl(agent.socketPath(),
                   {"--linger", "5", "call", "rcloneMountWithId:connection:mountPoint:volumeName:readOnly:reply:",
                    "\"e2e\"", R"({"kind":"remote","remote":"loc","path":")" + home.str() + "/remote\"}",
                    "\"" + mountPoint + "\"", "\"Vol\"", "false"},
                   120);
    });
    ASSERT_TRUE(eventually(mounted, 30s));
    EXPECT_EQ(readFile(mountPoint + "/hello.txt"), "hello through the agent\n");
    const auto unmounted =
        ctl(agent.socketPath(), {"call", "unmountWithPath:force:reply:", "\"" + mountPoint + "\"", "false"});
    EXPECT_EQ(unmounted.output, "{\"reply\":[true]}\n") << unmounted.errorOutput;
    EXPECT_EQ(client.get().output,
              "{\"reply\":[true,\"\"]}\n"
              "{\"callback\":\"rcloneMountEnded:\",\"args\":[\"e2e\"]}\n");
    EXPECT_FALSE(mounted());
}

}  // namespace
}  // namespace companion::testing
