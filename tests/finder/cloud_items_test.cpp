// Cloud items and the recent-items service, run against stand-ins.

#include <gtest/gtest.h>

#include "finder/finder_services.h"
#include "support/files.h"
#include "support/tool_harness.h"

namespace companion::finder {
namespace {

using namespace service::msg;
using namespace companion::testing;

template <class M>
int64_t callCloud(ToolHarness& h, std::vector<std::string> paths) { return std::get<0>(h.call<M>({std::move(paths)})); }

// Evicting and downloading are one routine with a verb. Nothing kept replies zero without
// running; otherwise only the kept paths run, one at a time.
TEST(CloudItems, RunOnePathAtATimeAndCountTheSuccesses) {
    const std::pair<std::string, int64_t (*)(ToolHarness&, std::vector<std::string>)> messages[] = {
        {"evict", callCloud<evictFromCloudWithPaths>}, {"materialize", callCloud<downloadFromCloudWithPaths>}};
    for (const auto& [verb, call] : messages) {
        SCOPED_TRACE(verb);
        ToolHarness h(installFinderServices);
        const ToolStandIn fileproviderctl = h.standIn("fileproviderctl", &ToolPaths::fileproviderctl);
        const auto file = [&](const std::string& relative) {
            testing::writeFile(h.files.path() / relative, "x");
            return (h.files.path() / relative).string();
        };
        const std::string none = h.files.str() + "/none";
        EXPECT_EQ(call(h, {}), 0);
        EXPECT_EQ(call(h, {none, "a.txt", h.files.str() + "\t"}), 0);
        EXPECT_TRUE(fileproviderctl.calls().empty());
        const std::string a = file("a.txt"), b = file("Docs/b.txt"), c = file("c d.txt");
        fileproviderctl.answer({.errorOutput = "not in the cloud", .status = 1}, 2);
        EXPECT_EQ(call(h, {a, h.files.str() + "/./Docs/b.txt", "relative.txt", none, a + "\n", c}), 2);
        const std::string tool = fileproviderctl.str();
        EXPECT_EQ(h.runs(), (Runs{{tool, verb, a}, {tool, verb, b}, {tool, verb, c}}));
        std::filesystem::remove(fileproviderctl.path());
        EXPECT_EQ(call(h, {a}), 0) << "a run that cannot start is no success, though its status is no tool's";
    }
}

TEST(RecentItems, RestartsTheServiceByName) {
    ToolHarness h(installFinderServices);
    auto killall = h.standIn("killall", &ToolPaths::killall);
    killall.answer({.errorOutput = "No matching processes", .status = 1});
    EXPECT_EQ(h.call<restartRecentItemsWithReply>({}), std::tuple<>());
    EXPECT_EQ(h.runs(), (Runs{{killall.str(), "sharedfilelistd"}}));
}

}  // namespace
}  // namespace companion::finder
