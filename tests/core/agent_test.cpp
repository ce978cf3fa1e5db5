// The agent in-process, with a real listener and a real client over its socket.

#include <future>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "client/companion_client.h"
#include "core/agent.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;
using namespace service;

class AgentHarness {
public:
    AgentHarness() {
        platform = Platform::system(dispatcher);
        platform.exitProcess = [this](int status) { exits.push_back(status); };
        installCoreServices(services);
    }
    ~AgentHarness() {
        if (agent) agent->listener().stop();
        dispatcher.main().stop();
        if (mainThread.joinable()) mainThread.join();
    }
    void start() {
        auto started = startAgent(platform, services, runtime.str() + "/agent.sock");
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CompanionAgent>>(started));
        agent = std::get<std::shared_ptr<CompanionAgent>>(started);
        std::latch running(1);
        mainThread = std::thread([&] {
            running.count_down();
            dispatcher.main().run();
        });
        running.wait();
    }
    std::unique_ptr<client::ClientConnection> connect() {
        auto connected = client::ClientConnection::connect(runtime.str() + "/agent.sock");
        return std::move(std::get<std::unique_ptr<client::ClientConnection>>(connected));
    }
    int64_t sessions() {
        std::promise<int64_t> count;
        dispatcher.main().async([&] { count.set_value(agent->sessions()); });
        return count.get_future().get();
    }
    bool waitForSessions(int64_t expected) {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (sessions() == expected) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    TempDir runtime;
    dispatch::Dispatcher dispatcher;
    Platform platform;
    Services services;
    std::shared_ptr<CompanionAgent> agent;
    std::vector<int> exits;  // main queue only
    std::thread mainThread;
};

// A stand-in for a sync: starts a long process and registers it in the session's table.
std::shared_ptr<process::SharedProcess> registeredSleeper;
void startSleeper(CompanionSession& session, Args<msg::rcloneSyncWithId> args, Reply<msg::rcloneSyncWithId> reply) {
    process::LaunchOptions options;
    options.executable = "/bin/sleep";
    options.arguments = {"1000"};
    auto process = std::make_shared<process::SharedProcess>(
        std::move(std::get<process::Process>(process::Process::launch(options))));
    if (!session.registerSync(std::get<0>(args), process)) process->terminate();
    registeredSleeper = process;
    reply(int32_t{0});
}

TEST(Agent, CountsConnectionsAndGreets) {
    AgentHarness h;
    h.start();
    auto a = h.connect();
    auto b = h.connect();
    EXPECT_EQ(std::get<0>(*a->call<msg::helloWithReply>({})), 1);
    EXPECT_EQ(std::get<0>(*b->call<msg::helloWithReply>({})), 1);
    EXPECT_TRUE(h.waitForSessions(2));
    a.reset();
    EXPECT_TRUE(h.waitForSessions(1));
    b.reset();
    EXPECT_TRUE(h.waitForSessions(0));
}

TEST(Agent, AConnectionThatEndsHasItsProcessesEndedBeforeTheCountDrops) {
    AgentHarness h;
    h.services.handlers.rcloneSyncWithId = &startSleeper;
    h.start();
    auto connection = h.connect();
    auto status = connection->call<msg::rcloneSyncWithId>({"s", "/", "r:", false, false, {}, std::nullopt, false});
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(h.waitForSessions(1));
    auto process = registeredSleeper;
    ASSERT_TRUE(process && process->isRunning());
    connection.reset();
    ASSERT_TRUE(h.waitForSessions(0));
    // the signal went out before the count dropped, so the end follows at once
    auto end = process->wait();
    EXPECT_EQ(end.status(), 15);
    registeredSleeper.reset();
}

TEST(Agent, BadInputFromOneClientLeavesTheOthersServed) {
    AgentHarness h;
    h.start();
    auto good = h.connect();
    auto bad = h.connect();
    ASSERT_TRUE(bad->waitForGreeting());
    EXPECT_FALSE(bad->callAndWait("noSuchMessage:", nlohmann::json::array()).has_value());
    EXPECT_FALSE(bad->isValid());
    EXPECT_EQ(std::get<0>(*good->call<msg::helloWithReply>({})), 1);
}

}  // namespace
}  // namespace companion::testing
