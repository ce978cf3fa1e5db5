// Cloud items and the recent-items service, run against stand-ins.

#include <gtest/gtest.h>

#include "finder/finder_services.h"
#include "support/files.h"
#include "support/tool_harness.h"

namespace companion::finder {
namespace {

using namespace service::msg;
using namespace companion::testing;

// Evicting and downloading are one routine with a verb; each case runs for both.
struct CloudMessage {
    std::string verb;
    int64_t (*call)(ToolHarness&, std::vector<std::string>);
};

template <class M>
int64_t callCloud(ToolHarness& h, std::vector<std::string> paths) {
    return std::get<0>(h.call<M>({std::move(paths)}));
}

class CloudItemsTest : public ::testing::TestWithParam<CloudMessage> {
protected:
    std::string file(const std::string& relative) {
        testing::writeFile(h.files.path() / relative, "x");
        return (h.files.path() / relative).string();
    }
    int64_t call(std::vector<std::string> paths) { return GetParam().call(h, std::move(paths)); }

    ToolHarness h{installFinderServices};
    ToolStandIn fileproviderctl = h.standIn("fileproviderctl", &ToolPaths::fileproviderctl);
};

// Nothing kept replies zero without running; otherwise only the kept paths run, one at a time.
TEST_P(CloudItemsTest, RunsOnePathAtATimeAndCountsTheSuccesses) {
    EXPECT_EQ(call({}), 0);
    EXPECT_EQ(call({h.files.str() + "/none", "a.txt", h.files.str() + "\t"}), 0);
    EXPECT_TRUE(fileproviderctl.calls().empty());
    const std::string a = file("a.txt"), b = file("Docs/b.txt"), c = file("c d.txt");
    fileproviderctl.answer({.errorOutput = "not in the cloud", .status = 1}, 2);
    EXPECT_EQ(call({a, h.files.str() + "/./Docs/b.txt", "relative.txt", h.files.str() + "/none", a + "\n", c}), 2);
    const auto calls = fileproviderctl.calls();
    ASSERT_EQ(calls.size(), 3u) << "only the kept paths run, and all of them";
    EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{GetParam().verb, a}));
    EXPECT_EQ(calls[1].arguments, (std::vector<std::string>{GetParam().verb, b}));
    EXPECT_EQ(calls[2].arguments, (std::vector<std::string>{GetParam().verb, c}));
}

INSTANTIATE_TEST_SUITE_P(Verbs, CloudItemsTest,
                         ::testing::Values(CloudMessage{"evict", callCloud<evictFromCloudWithPaths>},
                                           CloudMessage{"materialize", callCloud<downloadFromCloudWithPaths>}),
                         [](const auto& info) { return info.param.verb; });

TEST(RecentItems, RestartsTheServiceByName) {
    ToolHarness h(installFinderServices);
    auto killall = h.standIn("killall", &ToolPaths::killall);
    killall.answer({.errorOutput = "No matching processes", .status = 1});
    EXPECT_EQ(h.call<restartRecentItemsWithReply>({}), std::tuple<>());
    ASSERT_EQ(killall.calls().size(), 1u);
    EXPECT_EQ(killall.calls()[0].arguments, (std::vector<std::string>{"sharedfilelistd"}));
}

}  // namespace
}  // namespace companion::finder
