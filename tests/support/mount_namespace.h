#pragma once
// Support for tests that mount. Each runs in a private mount and pid namespace of its own:
//
//   TEST(Mounts, Something) {
//       COMPANION_IN_PRIVATE_NAMESPACE();   // skips without root; reruns the test inside
//       ... mount freely ...
//   }
//
// The test is run again under unshare(1), in a private mount namespace and a pid namespace whose
// first process is the test: however it ends, the kernel then kills every process and drops
// every mount it left, so a failing test leaves neither behind on this machine.

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "platform/platform.h"
#include "support/eventually.h"
#include "support/files.h"

namespace companion::testing {

inline constexpr const char* privateNamespaceVariable = "COMPANION_PRIVATE_NAMESPACE";
inline constexpr double privateTestTimeLimitSeconds = 240;

inline bool insidePrivateNamespace() {
    const char* value = std::getenv(privateNamespaceVariable);
    return value && std::string(value) == "1";
}

inline constexpr const char* unshareTool = "/usr/bin/unshare";

// Runs the current test in the namespaces and reports its outcome here.
inline void rerunInPrivateNamespace() {
    if (runCommand(unshareTool, {"--mount", "--pid", "--fork", "/bin/true"}).status != 0)
        GTEST_SKIP() << "no private mount and pid namespace can be made here";
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    auto environment = systemEnvironment();
    environment[privateNamespaceVariable] = "1";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const CommandResult run = runCommand(unshareTool,
                                         {"--mount", "--propagation", "private", "--pid", "--fork", "--kill-child",
                                          "--mount-proc", self, filter, "--gtest_color=no"},
                                         std::nullopt, environment, privateTestTimeLimitSeconds);
    EXPECT_EQ(run.status, 0) << "in the private namespace:\n" << run.output << run.errorOutput;
    if (run.output.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << run.output;
}

// Detaches every mount at or below `folder`, deepest first, so that removing the folder
// afterwards never walks into a mounted file system.
inline void detachMountsBelow(const std::string& folder) {
    const MountTable table = systemMountTable();
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (it->first == folder || it->first.starts_with(folder + "/")) ::umount2(it->first.c_str(), MNT_DETACH);
    }
}

inline bool isGone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

// The pid of the first "mount" run that the mount stand-in of tests/helpers/mount recorded
// in `record`, or -1 when there was none.
inline pid_t recordedMountPid(const std::filesystem::path& record) {
    for (int n = 1; std::filesystem::exists(record / "calls" / std::to_string(n)); ++n) {
        const auto call = record / "calls" / std::to_string(n);
        if (readFile(call / "argv").starts_with(std::string("mount\0", 6))) return std::stoi(readFile(call / "pid"));
    }
    return -1;
}

}  // namespace companion::testing

#define COMPANION_IN_PRIVATE_NAMESPACE()                                                          \
    do {                                                                                          \
        if (::geteuid() != 0) GTEST_SKIP() << "mount tests need root and a private mount namespace"; \
        if (!::companion::testing::insidePrivateNamespace()) {                                     \
            ::companion::testing::rerunInPrivateNamespace();                                       \
            return;                                                                                \
        }                                                                                          \
    } while (false)
