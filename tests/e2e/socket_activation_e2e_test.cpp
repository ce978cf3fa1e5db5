// The agent started on demand by a real service manager's socket activation: the first call
// starts it, it leaves a minute after its last connection, and the next call starts another.

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* activator = "/usr/bin/systemd-socket-activate";
// The kernel's flag of a listening local socket in /proc/net/unix.
constexpr const char* listeningFlags = "00010000";

// True once some socket listens at `path`, without connecting to it (a connection would start
// the agent).
bool waitUntilListening(const std::string& path, std::chrono::seconds limit) {
    return eventually([&] {
        std::ifstream table("/proc/net/unix");
        for (std::string line; std::getline(table, line);)
            if (line.ends_with(" " + path) && line.find(listeningFlags) != std::string::npos) return true;
        return false;
    }, limit);
}

// The service manager's side: listens on `socket` and starts the agent on the first connection,
// handing the socket over; it ends when the agent does.
AgentProcess activatedAgent(const std::string& socket) {
    return AgentProcess({activator, "--listen=" + socket}, {"--agent"});
}

// The one test that waits out the real idle minute: the others shorten it in-process.
TEST(SocketActivation, TheFirstCallStartsTheAgentAndAfterItsIdleExitTheNextCallStartsAnother) {
    if (::access(activator, X_OK) != 0) GTEST_SKIP() << "needs " << activator;
    TempDir endpoint;
    const std::string socket = endpoint.str() + "/" + std::string(machServiceName);

    AgentProcess first = activatedAgent(socket);
    ASSERT_TRUE(waitUntilListening(socket, 20s));
    auto answer = ctl(socket, {"call", "helloWithReply:"});
    EXPECT_EQ(answer.status, 0) << answer.errorOutput;
    EXPECT_NE(answer.output.find("\"reply\":[1,"), std::string::npos) << answer.output;
    auto lastConnection = std::chrono::steady_clock::now();

    auto status = first.waitForExit(150s);
    ASSERT_TRUE(status.has_value()) << "the agent never left";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    auto idle = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastConnection).count();
    EXPECT_GE(idle, 55.0);
    EXPECT_LE(idle, 120.0);

    AgentProcess second = activatedAgent(socket);
    ASSERT_TRUE(waitUntilListening(socket, 20s));
    answer = ctl(socket, {"call", "helloWithReply:"});
    EXPECT_EQ(answer.status, 0) << answer.errorOutput;
    EXPECT_NE(answer.output.find("\"reply\":[1,"), std::string::npos) << answer.output;
}

}  // namespace
}  // namespace companion::testing
