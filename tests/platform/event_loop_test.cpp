#include "platform/dispatch/event_loop.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include <gtest/gtest.h>

namespace companion::dispatch {
namespace {

using namespace std::chrono_literals;

// Generous: a loop that misbehaves hangs, and the test fails instead of waiting for ever.
constexpr auto watchdog = 10s;

// A socket pair with a byte waiting on `readable`.
struct ReadablePair {
    ReadablePair() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        readable.reset(ends[0]);
        writer.reset(ends[1]);
        EXPECT_EQ(::write(writer.get(), "x", 1), 1);
    }
    UniqueFd readable, writer;
};

// Runs `task` on the loop's thread and waits for it.
void onLoop(EventLoop& loop, std::function<void()> task) {
    std::promise<void> done;
    ASSERT_TRUE(loop.post([&] {
        task();
        done.set_value();
    }));
    ASSERT_EQ(done.get_future().wait_for(watchdog), std::future_status::ready);
}

// Two descriptors ready in one wait; whichever handler runs first drops the other's watch or
// turns its reading off. The other must then hear nothing of the report already in hand.
TEST(EventLoop, ReadinessNoLongerAskedForIsNotReported) {
    const std::pair<const char*, std::function<void(EventLoop::Watch&)>> changes[] = {
        {"dropped", [](EventLoop::Watch& other) { other.reset(); }},
        {"reading turned off", [](EventLoop::Watch& other) { other.setInterest(Interest::none); }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.first);
        EventLoop loop;
        loop.start();
        std::array<ReadablePair, 2> pairs;
        std::array<EventLoop::Watch, 2> watches;
        auto calls = std::make_shared<int>(0);
        onLoop(loop, [&] {
            for (int i = 0; i < 2; ++i) {
                watches[i] = loop.watch(pairs[i].readable.get(), Interest::read, [&, i, calls](Readiness readiness) {
                    if (!readiness.readable) return;
                    char byte;
                    EXPECT_EQ(::read(pairs[i].readable.get(), &byte, 1), 1);
                    ++*calls;
                    change.second(watches[1 - i]);
                });
            }
        });
        // Both were readable before the loop waited, so one pass carries both reports.
        onLoop(loop, [] {});
        onLoop(loop, [&] {
            EXPECT_EQ(*calls, 1);
            for (auto& watch : watches) watch.reset();
        });
    }
}

TEST(EventLoop, HandlerThatDropsItsOwnWatchReturnsSafely) {
    EventLoop loop;
    loop.start();
    ReadablePair pair;
    EventLoop::Watch watch;
    std::promise<std::string> seen;
    onLoop(loop, [&] {
        // The handler's own captures must outlive the reset that destroys the handler.
        watch = loop.watch(pair.readable.get(), Interest::read,
                           [&, text = std::string(256, 'h')](Readiness) {
                               watch.reset();
                               seen.set_value(text);
                           });
    });
    auto result = seen.get_future();
    ASSERT_EQ(result.wait_for(watchdog), std::future_status::ready);
    EXPECT_EQ(result.get(), std::string(256, 'h'));
}

TEST(EventLoop, CancelledDeadlineNeverFiresAndPostAfterStopIsRefused) {
    EventLoop loop;
    loop.start();
    bool cancelledFired = false;  // loop thread only
    EventLoop::Deadline cancelled, later;
    std::promise<void> laterFired;
    onLoop(loop, [&] {
        cancelled = loop.after(10ms, [&] { cancelledFired = true; });
        later = loop.after(50ms, [&] { laterFired.set_value(); });
        cancelled.cancel();
    });
    ASSERT_EQ(laterFired.get_future().wait_for(watchdog), std::future_status::ready);
    onLoop(loop, [&] { EXPECT_FALSE(cancelledFired); });
    loop.stop();
    EXPECT_FALSE(loop.post([] {}));
}

}  // namespace
}  // namespace companion::dispatch
