// System care through the built agent, as root: stand-in tools lie over the fixed tool folders in
// the agent's private mount namespace and record what really ran, including what the privileged
// shell ran. The other care messages' runs are the unit tests'; this is the wiring.

#include <filesystem>

#include <gtest/gtest.h>

#include "support/namespaced_agent.h"
#include "support/tool_stand_in.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::vector<std::string>> standInsByFolder = {
    {"/usr/bin", {"dscacheutil", "killall", "qlmanage", "atsutil", "mdutil", "tmutil"}},
    {"/usr/sbin", {"purge", "diskutil"}},
};

struct CareEndToEnd : ::testing::Test {
    void SetUp() override {
        NAMESPACED_AGENT_OR_SKIP();
        std::vector<Placement> placements;
        for (const auto& [folder, names] : standInsByFolder)
            for (const auto& name : names)
                placements.push_back({ToolStandIn(work.path() / "tools" / name, record()).path(), folder + "/" + name});
        fs::create_directories(home());
        agent.emplace(placements, std::map<std::string, std::string>{
                                      {"HOME", home()}, {"COMPANION_STANDIN_RECORD", record().string()}, {"PATH", "/usr/bin:/bin"}});
        ASSERT_TRUE(agent->process().waitForSocket()) << "the agent did not start in its namespace";
    }
    // One call through the command-line client; its output line.
    std::string call(std::vector<std::string> words) {
        words.insert(words.begin(), "call");
        const CommandResult result = ctl(agent->process().socketPath(), words);
        return result.output + result.errorOutput;
    }
    Runs runs() const { return ToolStandIn::runs(record()); }
    fs::path record() const { return work.path() / "record"; }
    std::string home() const { return work.str() + "/home"; }

    TempDir work;
    std::optional<NamespacedAgent> agent;
};

TEST_F(CareEndToEnd, MaintenanceRunsUserTasksFirstThenOnePrivilegedShell) {
    EXPECT_EQ(call({"runMaintenance:reply:", R"(["dns","quicklook","ram","fonts","fonts"])"}),
              "{\"reply\":[true,\"\"]}\n");
    EXPECT_EQ(runs(), (Runs{{"/usr/bin/qlmanage", "-r"},
                            {"/usr/bin/qlmanage", "-r", "cache"},
                            {"/usr/bin/atsutil", "databases", "-removeUser"},
                            {"/usr/bin/atsutil", "databases", "-removeUser"},
                            {"/usr/bin/dscacheutil", "-flushcache"},
                            {"/usr/bin/killall", "-HUP", "mDNSResponder"},
                            {"/usr/sbin/purge"}}));
}

}  // namespace
}  // namespace companion::testing
