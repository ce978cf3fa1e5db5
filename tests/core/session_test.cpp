#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;
using namespace service;

TEST(Session, HelloAnswersOneAndTheVersionOrAQuestionMark) {
    SessionHarness h;
    h.platform.version = "2.3.4";
    EXPECT_EQ(h.call<msg::helloWithReply>({}), std::make_tuple(int64_t{1}, std::string("2.3.4")));
    h.platform.version = "";
    EXPECT_EQ(h.call<msg::helloWithReply>({}), std::make_tuple(int64_t{1}, std::string("?")));
}

TEST(Session, StopAllEndsEverySyncAndMountAndLeavesTheTablesEmpty) {
    SessionHarness h;
    std::vector<std::string> endedMounts;
    h.services.endMount = [&](CompanionSession&, const MountEntry& mount) {
        endedMounts.push_back(mount.mountPoint);
        mount.process->terminate();
    };
    auto& session = h.session();
    auto syncA = sleepingProcess(), syncB = sleepingProcess(), mount = sleepingProcess();
    ASSERT_TRUE(session.registerSync("a", syncA));
    ASSERT_TRUE(session.registerSync("b", syncB));
    ASSERT_TRUE(session.registerMount("m", MountEntry{mount, "/mnt/point"}));
    session.stopAll();
    for (auto* p : {&syncA, &syncB, &mount})
        EXPECT_EQ((*p)->wait(), (process::Termination{process::Termination::Kind::signalled, 15}));
    EXPECT_EQ(endedMounts, std::vector<std::string>{"/mnt/point"});
    auto late = sleepingProcess();
    EXPECT_FALSE(session.registerSync("late", late)) << "nothing registers once the connection has ended";
    EXPECT_FALSE(session.registerMount("late", MountEntry{late, "/m"}));
    EXPECT_EQ(session.syncCount(), 0u);
    EXPECT_EQ(session.mountCount(), 0u);
    late->terminate();
}

// A slow request sent first may finish last; each is answered once.
void delayedDetach(CompanionSession& session, Args<msg::vaultDetachWithMountPoint> args,
                   Reply<msg::vaultDetachWithMountPoint> reply) {
    std::string mountPoint = std::get<0>(args);
    session.submit(std::move(reply), [mountPoint] {
        if (mountPoint == "/slow") std::this_thread::sleep_for(300ms);
        return std::tuple{int32_t{0}, mountPoint};
    });
}

TEST(Session, RequestsOfOneClientRunConcurrentlyAndAnswerOnce) {
    SessionHarness h;
    h.services.handlers.vaultDetachWithMountPoint = &delayedDetach;
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> replies{0};
    auto sink = [&](Value v) {
        std::lock_guard lock(mutex);
        order.push_back(v[1].get<std::string>());
        ++replies;
    };
    const std::string selector(msg::vaultDetachWithMountPoint::selector);
    ASSERT_TRUE(h.session().handle(selector, false, Value::array({"/slow", false}), sink));
    ASSERT_TRUE(h.session().handle(selector, false, Value::array({"/fast", false}), sink));
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (replies < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<std::string>{"/fast", "/slow"}));
}

void throwingDetach(CompanionSession& session, Args<msg::vaultDetachWithMountPoint>,
                    Reply<msg::vaultDetachWithMountPoint> reply) {
    session.submit(std::move(reply), []() -> std::tuple<int32_t, std::string> { throw std::runtime_error("x"); });
}

TEST(Session, WorkThatFailsUnexpectedlyStillAnswersWithTheRefusedForm) {
    SessionHarness h;
    h.services.handlers.vaultDetachWithMountPoint = &throwingDetach;
    EXPECT_EQ(h.call<msg::vaultDetachWithMountPoint>({"/x", false}), std::make_tuple(int32_t{-1}, std::string("invalid")));
}

TEST(Session, CallbacksReachTheClientWhileTheConnectionLasts) {
    SessionHarness h;
    {
        auto client = h.session().client();
        ASSERT_TRUE(client.has_value());
        client->send<msg::syncOutput>({"id", "line"});
        client->send<msg::rcloneMountEnded>({"m"});
    }
    auto sent = h.connection->callbacks();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].selector, "syncOutput:line:");
    EXPECT_EQ(sent[0].arguments, nlohmann::json::array({"id", "line"}));
    EXPECT_EQ(sent[1].selector, "rcloneMountEnded:");
    h.connection.reset();
    EXPECT_FALSE(h.session().client().has_value());
}

}  // namespace
}  // namespace companion::testing
