// The dialog assistant through the built agent and the command-line client: on this system the
// agent is never trusted, so every message gives its not-trusted reply.

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "support/agent_process.h"

namespace companion::testing {
namespace {

TEST(DialogAssistant, UntrustedRepliesThroughTheCommandLineClient) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    const std::string ownPid = std::to_string(::getpid());
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"accessibilityWithPrompt:reply:", "false"}, "[false]"},
        {{"accessibilityWithPrompt:reply:", "true"}, "[false]"},
        {{"detectDialogWithPid:reply:", ownPid}, "[[],false,-25211]"},
        {{"navigateDialogWithPid:path:reply:", ownPid, "\"" + agent.runtimeDir() + "/.\""}, "[false]"},
        {{"finderFoldersWithReply:"}, "[[]]"},
    };
    for (const auto& [call, reply] : cases) {
        std::vector<std::string> arguments{"--socket", agent.socketPath(), "call"};
        arguments.insert(arguments.end(), call.begin(), call.end());
        const auto result = runCommand(binary("tavro-companion-ctl"), arguments, std::nullopt, std::nullopt, 60);
        EXPECT_EQ(result.status, 0) << call.front() << ": " << result.errorOutput;
        EXPECT_EQ(result.output, "{\"reply\":" + reply + "}\n") << call.front();
    }
}

}  // namespace
}  // namespace companion::testing
