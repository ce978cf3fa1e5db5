// The agent started on demand by a real service manager's socket activation: the first call
// starts it, it leaves a minute after its last connection, and the next call starts another.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/command_runner.h"
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
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream table("/proc/net/unix");
        for (std::string line; std::getline(table, line);)
            if (line.ends_with(" " + path) && line.find(listeningFlags) != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The service manager's side: listens on the endpoint and starts the agent on the first
// connection, handing the socket over.
class Activator {
public:
    Activator(const std::string& socket, const std::string& runtime)
        : pid_(spawnWithRuntimeDir({activator, "--listen=" + socket, binary("tavro-companion"), "--agent"}, runtime)) {}
    ~Activator() {
        if (exited_) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // The wait status once the agent it started has ended, within `limit`.
    std::optional<int> waitForExit(std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return status;
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

private:
    pid_t pid_;
    bool exited_ = false;
};

CommandResult hello(const std::string& socket) {
    return runCommand(binary("tavro-companion-ctl"), {"--socket", socket, "call", "helloWithReply:"}, std::nullopt,
                      std::nullopt, 60);
}

TEST(SocketActivation, TheFirstCallStartsTheAgentAndAfterItsIdleExitTheNextCallStartsAnother) {
    if (::access(activator, X_OK) != 0) GTEST_SKIP() << "needs " << activator;
    TempDir runtime;
    std::string socket = runtime.str() + "/" + std::string(machServiceName);

    Activator first(socket, runtime.str());
    ASSERT_TRUE(waitUntilListening(socket, 20s));
    auto answer = hello(socket);
    EXPECT_EQ(answer.status, 0) << answer.errorOutput;
    EXPECT_NE(answer.output.find("\"reply\":[1,"), std::string::npos) << answer.output;
    auto lastConnection = std::chrono::steady_clock::now();

    auto status = first.waitForExit(150s);
    ASSERT_TRUE(status.has_value()) << "the agent never left";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    auto idle = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastConnection).count();
    EXPECT_GE(idle, 55.0);
    EXPECT_LE(idle, 120.0);

    Activator second(socket, runtime.str());
    ASSERT_TRUE(waitUntilListening(socket, 20s));
    answer = hello(socket);
    EXPECT_EQ(answer.status, 0) << answer.errorOutput;
    EXPECT_NE(answer.output.find("\"reply\":[1,"), std::string::npos) << answer.output;
}

}  // namespace
}  // namespace companion::testing
