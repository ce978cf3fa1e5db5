// The agent in-process, with a real listener and a real client over its socket.

#include <atomic>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "client/companion_client.h"
#include "core/agent.h"
#include "core/command_runner.h"
#include "support/eventually.h"
#include "support/main_loop.h"
#include "support/raw_client.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;
using namespace service;

// An agent on a private endpoint whose idle exit is recorded, not taken, and comes after a
// fraction of a second.
class AgentHarness {
public:
    static constexpr auto shortIdleExit = 300ms;

    AgentHarness() {
        platform = Platform::system(dispatcher);
        platform.idleExitDelay = shortIdleExit;
        platform.exitProcess = [this](int status) { exits.push_back(status); };
        installCoreServices(services);
    }
    ~AgentHarness() {
        if (agent) agent->listener().stop();
    }
    void start() {
        auto started = startAgent(platform, services, runtime.str() + "/agent.sock");
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CompanionAgent>>(started));
        agent = std::get<std::shared_ptr<CompanionAgent>>(started);
        loop.emplace(dispatcher.main());
    }
    std::unique_ptr<client::ClientConnection> connect() {
        auto connected = client::ClientConnection::connect(runtime.str() + "/agent.sock");
        auto connection = std::move(std::get<std::unique_ptr<client::ClientConnection>>(connected));
        EXPECT_TRUE(connection->waitForGreeting());
        return connection;
    }
    bool waitFor(auto condition) { return eventually([&] { return loop->onMain(condition); }); }
    bool waitForSessions(int64_t expected) { return waitFor([&] { return agent->sessions() == expected; }); }
    std::vector<int> exitsAfterTwoDelays() {
        std::this_thread::sleep_for(2 * shortIdleExit);
        return loop->onMain([&] { return exits; });
    }

    TempDir runtime;
    dispatch::Dispatcher dispatcher;
    Platform platform;
    Services services;
    std::shared_ptr<CompanionAgent> agent;
    std::vector<int> exits;  // main queue only
    std::optional<MainLoop> loop;
};

// A stand-in for a sync: starts a long process and registers it in the session's table.
std::shared_ptr<process::SharedProcess> registeredSleeper;
void startSleeper(CompanionSession& session, Args<msg::rcloneSyncWithId> args, Reply<msg::rcloneSyncWithId> reply) {
    auto process = sleepingProcess();
    if (!session.registerSync(std::get<0>(args), process)) process->terminate();
    registeredSleeper = process;
    reply(int32_t{0});
}

TEST(Agent, GreetsCountsAndLeavesOnlyWhenTheLastConnectionHasBeenGoneForTheDelay) {
    AgentHarness h;
    h.start();
    ASSERT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; })) << "no client since start-up";
    h.loop->onMain([&] { h.exits.clear(); });

    auto first = h.connect();
    auto second = h.connect();
    EXPECT_EQ(std::get<0>(*first->call<msg::helloWithReply>({})), 1);
    EXPECT_EQ(std::get<0>(*second->call<msg::helloWithReply>({})), 1);
    ASSERT_TRUE(h.waitForSessions(2));
    first.reset();
    ASSERT_TRUE(h.waitForSessions(1));
    EXPECT_TRUE(h.exitsAfterTwoDelays().empty()) << "one connection is still open";

    second.reset();
    ASSERT_TRUE(h.waitForSessions(0));
    auto reconnected = h.connect();
    ASSERT_TRUE(h.waitForSessions(1));
    EXPECT_TRUE(h.exitsAfterTwoDelays().empty()) << "the reconnection cancels the exit armed before it";

    reconnected.reset();
    EXPECT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; }));
}

// The idle exit comes due while the main thread is busy and a client connects meanwhile: the
// connection was counted first, so it keeps the agent.
TEST(Agent, AConnectionAcceptedWhileTheMainThreadIsBusyPastTheExitKeepsTheAgent) {
    AgentHarness h;
    h.start();
    h.connect().reset();
    ASSERT_TRUE(h.waitFor([&] { return h.agent->sessions() == 0 && !h.exits.empty(); }));
    h.loop->onMain([&] { h.exits.clear(); });
    h.connect().reset();
    ASSERT_TRUE(h.waitForSessions(0));  // the exit is armed again, due in a fraction of a second
    h.dispatcher.main().async([] { std::this_thread::sleep_for(3 * AgentHarness::shortIdleExit); });
    auto late = h.connect();
    EXPECT_TRUE(h.exitsAfterTwoDelays().empty());
    EXPECT_EQ(std::get<0>(*late->call<msg::helloWithReply>({})), 1);
}

// A tool still running for a connection that has gone finishes before the agent leaves, so no
// reply is torn down under a worker's feet.
TEST(Agent, TheIdleExitWaitsForToolsStillRunning) {
    AgentHarness h;
    h.start();
    ASSERT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; }));
    h.loop->onMain([&] { h.exits.clear(); });
    std::atomic<bool> ended{false};
    runCommandOnLoop(*h.dispatcher.loop(), "/bin/sleep", {"1.5"}, std::nullopt, std::nullopt, 60,
                     [&](const CommandResult&) { ended = true; });
    h.connect().reset();
    EXPECT_TRUE(h.exitsAfterTwoDelays().empty()) << "a tool is still running";
    ASSERT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; }));
    EXPECT_TRUE(ended);
}

// Clients the listener ends for bad input leave the others served, and are counted down like any
// other: the idle exit still follows. (How a client stalled mid-frame is ended is the listener's
// own test.)
TEST(Agent, ClientsEndedForBadInputKeepNeitherTheOthersNorTheIdleExitWaiting) {
    AgentHarness h;
    h.start();
    ASSERT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; }));
    h.loop->onMain([&] { h.exits.clear(); });

    auto good = h.connect();
    auto bad = h.connect();
    EXPECT_FALSE(bad->callAndWait("noSuchMessage:", nlohmann::json::array()).has_value());
    EXPECT_FALSE(bad->isValid());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (const std::string& bad : {helloFrame(), greetingFrame() + frameOf(packed(ipc::Json("hello"))),
                                   greetingFrame() + std::string("\x7f\xff\xff\xff", 4)}) {
        clients.push_back(std::make_unique<RawClient>(h.runtime.str() + "/agent.sock"));
        ASSERT_TRUE(clients.back()->send(bad));
    }
    for (auto& client : clients) EXPECT_TRUE(client->closedWithin(RawClient::patience));
    EXPECT_EQ(std::get<0>(*good->call<msg::helloWithReply>({})), 1);
    good.reset();
    EXPECT_TRUE(h.waitFor([&] { return h.exits == std::vector{0}; }));
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
    EXPECT_EQ(process->wait().status(), 15);
    registeredSleeper.reset();
}

}  // namespace
}  // namespace companion::testing
