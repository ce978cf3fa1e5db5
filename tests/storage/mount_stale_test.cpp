// Stale mounts: reading the process list, and ending only the process the scan saw.

#include <gtest/gtest.h>

#include <filesystem>

#include "core/input_checks.h"
#include "platform/process/process.h"
#include "storage/stale_mounts.h"
#include "storage/storage_services.h"
#include "storage/rclone_stand_in.h"
#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using service::msg::staleRcloneMountsWithReply;
using service::msg::stopStaleRcloneMountWithPid;
using testing::mountHelpers;

const std::vector<std::string> roots = allowedMountRoots("/home/ana");

std::vector<StaleMount> mountsIn(const std::string& listing) {
    std::vector<StaleMount> found;
    for (const auto& scanned : parseStaleMounts(listing, roots)) found.push_back(scanned.mount);
    return found;
}

// Spaces in the mount point, options after it and lines outside every root are seen through the
// real process list below.
TEST(StaleListing, ReadsShowsAndFormatsMountProcessesUnderTheRootsOnly) {
    EXPECT_EQ(mountsIn("78 rclone nfsmount loc:x " + roots[0] + "/x"), std::vector<StaleMount>{}) << "not a mount";
    EXPECT_EQ(mountsIn("rclone mount loc:x " + roots[0] + "/x"), std::vector<StaleMount>{}) << "no pid";
    EXPECT_EQ(mountsIn("\n1 a mount r:1 " + roots[0] + "/one\n\n2 b mount r:2 " + roots[2] + "/two --x\n"),
              (std::vector<StaleMount>{{1, "r:1", roots[0] + "/one"}, {2, "r:2", roots[2] + "/two"}}));
    EXPECT_TRUE(showsAs({"a", "\xC3\xA9\n"}, "a ???")) << "what the list cannot print shows as ?";
    EXPECT_FALSE(showsAs({"a", "b"}, "a b c"));
    EXPECT_EQ(formatStaleMounts({{1, "r:a", "/m/a"}, {22, "r:b", "/m/b c"}}), "1\tr:a\t/m/a\n22\tr:b\t/m/b c");
}

// Leftover mount processes of a temporary home, found with the real process list.
struct StaleHarness {
    StaleHarness() { installStorageServices(h.services); }

    std::string root() const { return allowedMountRoots(h.home.str()).front(); }
    process::Process leftover(const std::string& mountPoint) const {
        auto launched = process::Process::launch(
            {"/bin/sh", {(mountHelpers / "stale_rclone").string(), "mount", "loc:photos", mountPoint, "--volname",
                         "My Photos", "--dir-cache-time", "30s"}});
        return std::move(std::get<process::Process>(launched));
    }
    bool stop(int pid) { return std::get<0>(h.call<stopStaleRcloneMountWithPid>({pid})); }

    testing::SessionHarness h;
};

TEST(StaleMounts, ListsAndStopsOnlyMountsUnderARoot) {
    StaleHarness s;
    auto inside = s.leftover(s.root() + "/My Photos");
    auto outside = s.leftover(s.h.home.str() + "/elsewhere/My Photos");
    const auto [listing] = s.h.call<staleRcloneMountsWithReply>({});
    EXPECT_EQ(listing, std::to_string(inside.pid()) + "\tloc:photos\t" + s.root() + "/My Photos");

    EXPECT_FALSE(s.stop(outside.pid()));
    EXPECT_TRUE(outside.isRunning());
    EXPECT_TRUE(s.stop(inside.pid()));
    EXPECT_EQ(inside.waitFor(std::chrono::seconds(10)),
              std::optional(process::Termination{process::Termination::Kind::signalled, SIGTERM}));
}

TEST(StaleMounts, AProcessReplacedAfterTheScanIsNotSignalled) {
    StaleHarness s;
    auto process = s.leftover(s.root() + "/vol");
    s.h.platform.tools.ps = (s.h.home.path() / "ps").string();
    fs::copy_file(mountHelpers / "ps_replacing", s.h.platform.tools.ps);
    testing::writeFile(s.h.home.path() / "target", std::to_string(process.pid()));

    EXPECT_FALSE(s.stop(process.pid()));
    EXPECT_TRUE(process.isRunning());
    EXPECT_EQ(testing::readFile("/proc/" + std::to_string(process.pid()) + "/cmdline"), std::string("/bin/sleep\0" "300\0", 15));
}

}  // namespace
}  // namespace companion::storage
