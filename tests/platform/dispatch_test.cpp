#include "platform/dispatch/dispatch.h"

#include <atomic>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/eventually.h"
#include "support/main_loop.h"

namespace companion::dispatch {
namespace {

using namespace std::chrono_literals;

// The main queue served on a thread of its own, as the agent's main thread serves it.
struct MainQueueTest : ::testing::Test {
    Dispatcher dispatcher;
    testing::MainLoop loop{dispatcher.main()};
};

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrder) {
    Dispatcher dispatcher;
    auto queue = dispatcher.makeSerialQueue("test.serial");
    std::vector<int> order;  // unguarded on purpose: a serial queue needs no lock
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    Group done;
    for (int i = 0; i < 200; ++i) {
        done.enter();
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
            done.leave();
        });
    }
    done.wait();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

// Tasks that wait (in tool runs) each lend their place: all of them wait at once, and other
// queues are still served meanwhile.
TEST(Pool, WaitingTasksLendTheirPlaces) {
    Dispatcher dispatcher;
    auto queue = dispatcher.makeConcurrentQueue("test.waiting");
    auto serial = dispatcher.makeSerialQueue("test.other");
    constexpr int width = 32;
    std::latch allWaiting(width + 1);
    Group done;
    for (int i = 0; i < width; ++i) {
        done.enter();
        queue->async([&] {
            const Blocking blocking;
            allWaiting.arrive_and_wait();
            done.leave();
        });
    }
    std::promise<void> ran;
    serial->async([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(30s), std::future_status::ready);
    allWaiting.arrive_and_wait();
    EXPECT_TRUE(done.waitFor(30s));
}

// A burst of short tasks runs on about as many threads as there are cores, not one each; and
// threads that then stay idle retire.
TEST(Pool, ShortTasksShareFewThreadsThatRetireWhenIdle) {
    Dispatcher dispatcher(50ms);
    auto queue = dispatcher.makeConcurrentQueue("test.burst");
    std::atomic<size_t> mostThreads{0};
    Group done;
    for (int i = 0; i < 2000; ++i) {
        done.enter();
        queue->async([&] {
            size_t now = dispatcher.threadCount();
            size_t most = mostThreads.load();
            while (now > most && !mostThreads.compare_exchange_weak(most, now)) {
            }
            done.leave();
        });
    }
    done.wait();
    EXPECT_LE(mostThreads.load(), std::max(2u, std::thread::hardware_concurrency()) + 1);
    EXPECT_TRUE(testing::eventually([&] { return dispatcher.threadCount() == 0; }, 30s));
    // and the pool still serves afterwards
    std::promise<void> ran;
    queue->async([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(30s), std::future_status::ready);
}

TEST_F(MainQueueTest, TimersFireInDeadlineOrderAndACancelledOneNever) {
    std::vector<int> order;  // touched on the main queue only
    std::promise<void> done;
    auto& main = dispatcher.main();
    auto cancelled = std::make_shared<WorkItem>([&] { order.push_back(0); });
    main.asyncAfter(20ms, cancelled);
    main.asyncAfter(80ms, std::make_shared<WorkItem>([&] { order.push_back(3); done.set_value(); }));
    main.asyncAfter(10ms, std::make_shared<WorkItem>([&] { order.push_back(1); }));
    main.asyncAfter(40ms, std::make_shared<WorkItem>([&] { order.push_back(2); }));
    cancelled->cancel();
    EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    main.sync([&] { EXPECT_EQ(order, (std::vector<int>{1, 2, 3})); });
}

// From a worker, sync runs on the main thread (and lends the worker's pool place meanwhile);
// from the main thread itself, it runs inline instead of waiting for itself.
TEST_F(MainQueueTest, SyncRunsOnTheMainThreadAndInlineThere) {
    auto worker = dispatcher.makeConcurrentQueue("test.worker");
    std::promise<bool> onMain;
    worker->async([&] {
        bool seen = false;
        dispatcher.main().sync([&] { dispatcher.main().sync([&] { seen = dispatcher.main().isCurrent(); }); });
        onMain.set_value(seen);
    });
    EXPECT_TRUE(onMain.get_future().get());
}

TEST(Group, WaitForTimesOutWhileWorkIsOutstanding) {
    Group group;
    group.enter();
    EXPECT_FALSE(group.waitFor(10ms));
    group.leave();
    EXPECT_TRUE(group.waitFor(10ms));
}

}  // namespace
}  // namespace companion::dispatch
