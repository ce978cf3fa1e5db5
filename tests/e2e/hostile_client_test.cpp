// Bad input of every kind costs the sender its connection and nothing else.

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "support/files.h"
#include "support/raw_client.h"

namespace companion::testing {
namespace {

using ipc::Json;

void expectStillServing(const AgentProcess& agent) {
    EXPECT_EQ(ctl(agent.socketPath(), {"call", "helloWithReply:"}).status, 0) << "the agent still serves";
}

// Each refusal of the decoder and of the protocol table is pinned by its own unit test; these rows
// only check that the built agent ends the offending connection and goes on serving.
TEST(HostileClient, EachKindOfBadInputEndsOnlyThatConnection) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    // What is sent after connecting; the connection is then left open.
    const std::pair<std::string, std::string> inputs[] = {
        {"no greeting first", helloFrame()},
        {"truncated frame then silence", greetingFrame() + std::string("\x00\x00\x00\x64" "abc", 7)},
        {"a reply sent to the agent", greetingFrame() + ipc::encodeFrame(ipc::ReplyMessage{1, Json::array()})},
    };
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        RawClient client(agent.socketPath());
        ASSERT_TRUE(client.valid());
        // the agent may hang up before everything is written; that is fine
        client.send(bytes);
        if (name == "truncated frame then silence") ::shutdown(client.fd(), SHUT_WR);
        EXPECT_TRUE(client.closedWithin(std::chrono::seconds(20)));
        EXPECT_LE(client.bytesRead(), greetingFrame().size()) << "nothing but the greeting before hanging up";
        expectStillServing(agent);
    }
    EXPECT_FALSE(agent.exited());
}

TEST(HostileClient, AClientThatNeverReadsIsMadeToWaitNotBuffered) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    auto client = std::make_optional<RawClient>(agent.socketPath());
    ASSERT_TRUE(client->valid() && client->send(greetingFrame()));
    const int fd = client->fd();
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    // Greetings sent without ever reading a reply: once the agent's replies fill the socket it
    // stops reading, and our writes must stall long before this much has gone in.
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += helloFrame();
    constexpr size_t ceiling = 64u << 20;
    size_t accepted = 0;
    bool ended = false;
    auto quietSince = std::chrono::steady_clock::now();
    while (accepted < ceiling && std::chrono::steady_clock::now() - quietSince < std::chrono::seconds(2)) {
        ssize_t n = ::send(fd, burst.data(), burst.size(), MSG_NOSIGNAL);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            quietSince = std::chrono::steady_clock::now();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            ended = true;
            break;
        }
    }
    EXPECT_FALSE(ended) << "the connection ended instead of making us wait";
    EXPECT_LT(accepted, ceiling) << "the agent kept reading without answering";
    client.reset();
    expectStillServing(agent);
}

long cpuTicks(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    return std::stol(values.at(11)) + std::stol(values.at(12));  // utime, stime
}

// An agent started with few descriptors, so that clients outnumber them.
std::unique_ptr<AgentProcess> agentWithDescriptorLimit(rlim_t limit) {
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    rlimit lowered = original;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    auto agent = std::make_unique<AgentProcess>();  // the child inherits the lowered limit
    ::setrlimit(RLIMIT_NOFILE, &original);
    return agent;
}

TEST(HostileClient, AnAgentOutOfDescriptorsWaitsIdleAndServesTheWaitingOnceSomeAreFree) {
    auto started = agentWithDescriptorLimit(48);
    AgentProcess& agent = *started;
    ASSERT_TRUE(agent.waitForSocket());
    // One connection served and ended first: a sanitizer's runtime needs descriptors of its own
    // the first time it meets a code path, which it would not find later on.
    expectStillServing(agent);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 60; ++i) {
        clients.push_back(std::make_unique<RawClient>(agent.socketPath()));
        ASSERT_TRUE(clients.back()->valid() && clients.back()->send(greetingFrame()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::unique_ptr<RawClient>> served, waiting;
    for (auto& client : clients)
        (client->receive(std::chrono::milliseconds(20)) ? served : waiting).push_back(std::move(client));
    ASSERT_FALSE(waiting.empty()) << "the limit should have been reached";

    const long before = cpuTicks(agent.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long spent = cpuTicks(agent.pid()) - before;
    EXPECT_LE(spent * 1000 / ::sysconf(_SC_CLK_TCK), 100) << "ms of CPU while waiting for descriptors";

    served.clear();  // descriptors come free
    for (auto& client : waiting) {
        EXPECT_TRUE(client->receive().has_value()) << "greeted once descriptors are free";
        EXPECT_TRUE(client->roundTrip(1, helloFrame()));
    }
    EXPECT_FALSE(agent.exited());
}

TEST(HostileClient, AnotherUserIsRefusedBeforeAnythingIsRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    // Loosen the file permissions so that only the agent's own check stands in the way.
    ::chmod(agent.runtimeDir().c_str(), 0755);
    ::chmod(agent.socketPath().c_str(), 0777);
    constexpr uid_t nobody = 65534;
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(3);
        RawClient client(agent.socketPath());
        if (!client.valid()) ::_exit(4);
        client.send(greetingFrame() + helloFrame());
        // not even the greeting may come back
        if (!client.closedWithin(std::chrono::seconds(20))) ::_exit(5);
        ::_exit(client.bytesRead() == 0 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expectStillServing(agent);
}

}  // namespace
}  // namespace companion::testing
