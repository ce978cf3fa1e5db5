// The Time Machine backup list, run against a stand-in backup tool.

#include <gtest/gtest.h>

#include "care/care_services.h"
#include "support/tool_harness.h"

namespace companion::care {
namespace {

using service::msg::timeMachineBackupsWithReply;
using testing::ToolHarness;

TEST(TimeMachine, RepliesStandardOutputUntrimmedWhateverTheStatus) {
    ToolHarness h(installCareServices);
    auto tmutil = h.standIn("tmutil", &ToolPaths::tmutil);
    tmutil.answer({.output = "/Volumes/B/2026-12-01-101010.backup\n", .errorOutput = "dropped", .status = 1});
    EXPECT_EQ(h.call<timeMachineBackupsWithReply>({}), std::tuple(std::string("/Volumes/B/2026-12-01-101010.backup\n")));
    tmutil.answer({.errorOutput = "No machine directory found", .status = 1});
    EXPECT_EQ(h.call<timeMachineBackupsWithReply>({}), std::tuple(std::string()));
    const auto calls = tmutil.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"listbackups"}));
    EXPECT_EQ(calls[0].input, "");
}

}  // namespace
}  // namespace companion::care
