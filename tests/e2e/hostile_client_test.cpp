// Bad input of every kind costs the sender its connection and nothing else.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "client/companion_client.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"
#include "support/agent_process.h"

namespace companion::testing {
namespace {

using ipc::Json;

std::string frameOf(const std::string& payload) {
    std::string frame(4, '\0');
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(n >> (24 - 8 * i));
    return frame + payload;
}

std::string packed(const Json& value) {
    std::string out;
    Json::to_msgpack(value, nlohmann::detail::output_adapter<char>(out));
    return out;
}

std::string greeting() { return ipc::encodeFrame(ipc::Greeting{"tavro-companion", 1}); }

// True when the agent closes the connection (end of stream) within the limit, having sent at
// most its greeting.
bool agentHangsUp(int fd, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::string received;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return received.size() <= greeting().size();
        received.append(buffer, n);
    }
    return false;
}

UniqueFd rawConnection(const AgentProcess& agent) {
    auto socket = ipc::connectEndpoint(agent.socketPath());
    if (auto* error = std::get_if<std::string>(&socket)) {
        ADD_FAILURE() << *error;
        return UniqueFd();
    }
    return std::move(std::get<UniqueFd>(socket));
}

void expectStillServing(const AgentProcess& agent) {
    auto connected = client::ClientConnection::connect(agent.socketPath());
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<client::ClientConnection>>(connected));
    auto& connection = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
    auto hello = connection.call<service::msg::helloWithReply>({});
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(std::get<0>(*hello), 1);
}

struct HostileInput {
    const char* name;
    std::string bytes;  // sent after connecting; the connection is then left open
};

std::vector<HostileInput> hostileInputs() {
    std::string deep(1'000'000, '\x91');
    deep += '\x01';
    std::string hugeString = std::string("\x94\x01\x01\xdb\xff\xff\xff\xf0", 8) + "helloWithReply:";
    return {
        {"no greeting first", ipc::encodeFrame(ipc::Call{1, "helloWithReply:", Json::array()})},
        {"wrong protocol version", ipc::encodeFrame(ipc::Greeting{"tavro-companion", 99})},
        {"truncated frame then silence", greeting() + std::string("\x00\x00\x00\x64" "abc", 7)},
        {"length over the limit", greeting() + std::string("\x7f\xff\xff\xff", 4)},
        {"a value that is not a message", greeting() + frameOf(packed(Json("hello")))},
        {"malformed messagepack", greeting() + frameOf(std::string("\x94\x01\x01\xc1", 4))},
        {"unknown selector", greeting() + ipc::encodeFrame(ipc::Call{1, "formatDisk:", Json::array()})},
        {"too few arguments",
         greeting() + ipc::encodeFrame(ipc::Call{1, "unmountWithPath:force:reply:", Json::array({"/x"})})},
        {"wrong argument type",
         greeting() + ipc::encodeFrame(ipc::Call{1, "unmountWithPath:force:reply:", Json::array({"/x", "yes"})})},
        {"a call sent as one-way",
         greeting() + ipc::encodeFrame(ipc::OneWay{"helloWithReply:", Json::array()})},
        {"a reply sent to the agent", greeting() + ipc::encodeFrame(ipc::ReplyMessage{1, Json::array()})},
        {"nested a million levels", greeting() + frameOf(deep)},
        {"declared length far beyond the frame", greeting() + frameOf(hugeString)},
    };
}

TEST(HostileClient, EachKindOfBadInputEndsOnlyThatConnection) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    for (const auto& input : hostileInputs()) {
        SCOPED_TRACE(input.name);
        auto fd = rawConnection(agent);
        ASSERT_TRUE(fd.valid());
        // the agent may hang up before everything is written; that is fine
        ipc::writeAll(fd.get(), input.bytes);
        if (std::string(input.name) == "truncated frame then silence") ::shutdown(fd.get(), SHUT_WR);
        EXPECT_TRUE(agentHangsUp(fd.get()));
        expectStillServing(agent);
    }
    EXPECT_FALSE(agent.exited());
}

TEST(HostileClient, AClientThatNeverReadsIsMadeToWaitNotBuffered) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    auto fd = rawConnection(agent);
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(ipc::writeAll(fd.get(), greeting()));
    ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    // Greetings sent without ever reading a reply: once the agent's replies fill the socket it
    // stops reading, and our writes must stall long before this much has gone in.
    const std::string call = ipc::encodeFrame(ipc::Call{1, "helloWithReply:", Json::array()});
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += call;
    constexpr size_t ceiling = 64u << 20;
    size_t accepted = 0;
    bool ended = false;
    auto quietSince = std::chrono::steady_clock::now();
    while (accepted < ceiling && std::chrono::steady_clock::now() - quietSince < std::chrono::seconds(2)) {
        ssize_t n = ::send(fd.get(), burst.data(), burst.size(), MSG_NOSIGNAL);
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
    fd.reset();
    expectStillServing(agent);
}

// True when the agent's greeting arrives within `limit`.
bool greetedWithin(int fd, std::chrono::milliseconds limit) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received.size() < greeting().size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received.size() >= greeting().size();
}

long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
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
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 60; ++i) {
        clients.push_back(rawConnection(agent));
        ASSERT_TRUE(clients.back().valid());
        ASSERT_TRUE(ipc::writeAll(clients.back().get(), greeting()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<UniqueFd> served, waiting;
    for (auto& client : clients)
        (greetedWithin(client.get(), std::chrono::milliseconds(20)) ? served : waiting).push_back(std::move(client));
    ASSERT_FALSE(waiting.empty()) << "the limit should have been reached";

    const long before = cpuTicks(agent.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long spent = cpuTicks(agent.pid()) - before;
    EXPECT_LE(spent * 1000 / ::sysconf(_SC_CLK_TCK), 100) << "ms of CPU while waiting for descriptors";

    served.clear();  // descriptors come free
    for (auto& client : waiting) {
        EXPECT_TRUE(greetedWithin(client.get(), std::chrono::seconds(10)));
        const std::string hello = ipc::encodeFrame(ipc::Call{1, "helloWithReply:", Json::array()});
        EXPECT_TRUE(ipc::writeAll(client.get(), hello));
    }
    EXPECT_FALSE(agent.exited());
}

// Churn of every kind, ending with clients stalled in the middle of a frame: those are ended at
// the frame time limit, and the idle exit follows a minute after that, not never.
TEST(HostileClient, StalledClientsDoNotKeepTheAgentFromItsIdleExit) {
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    for (int i = 0; i < 20; ++i) {
        auto fd = rawConnection(agent);
        ipc::writeAll(fd.get(), greeting() + ipc::encodeFrame(ipc::Call{1, "helloWithReply:", Json::array()}));
    }
    for (const auto& input : hostileInputs()) ipc::writeAll(rawConnection(agent).get(), input.bytes);
    std::vector<UniqueFd> stalled;
    for (int i = 0; i < 5; ++i) {
        stalled.push_back(rawConnection(agent));
        ipc::writeAll(stalled.back().get(), greeting() + std::string("\x00\x00\x01\x00" "half", 8));
    }
    const auto frameBegun = std::chrono::steady_clock::now();

    // frame time limit (10 s) plus the idle exit's minute
    const auto status = agent.waitForExit(std::chrono::seconds(90));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    const double afterFrame = std::chrono::duration<double>(std::chrono::steady_clock::now() - frameBegun).count();
    EXPECT_GE(afterFrame, 69.0);
    EXPECT_LE(afterFrame, 76.0);
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
        auto socket = ipc::connectEndpoint(agent.socketPath());
        if (!std::holds_alternative<UniqueFd>(socket)) ::_exit(4);
        int fd = std::get<UniqueFd>(socket).get();
        ipc::writeAll(fd, greeting() + ipc::encodeFrame(ipc::Call{1, "helloWithReply:", Json::array()}));
        // not even the greeting may come back
        char byte;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) ::_exit(5);
        ::_exit(::read(fd, &byte, 1) <= 0 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expectStillServing(agent);
}

}  // namespace
}  // namespace companion::testing
