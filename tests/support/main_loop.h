#pragma once
// The main queue served on a thread of its own for the test's life, as the agent's main thread
// serves it.

#include <future>
#include <thread>
#include <type_traits>

#include "platform/dispatch/dispatch.h"

namespace companion::testing {

class MainLoop {
public:
    // Runs `read` on the main queue and waits for its value: how a test looks at state that
    // belongs to the main thread.
    template <class F>
    auto onMain(F read) {
        std::packaged_task<std::invoke_result_t<F>()> task(std::move(read));
        auto result = task.get_future();
        queue_.async([&] { task(); });
        return result.get();
    }

    explicit MainLoop(dispatch::MainQueue& queue) : queue_(queue), thread_([&queue] { queue.run(); }) {
        // stop() before run() would be forgotten: wait until the loop serves.
        onMain([] {});
    }
    ~MainLoop() {
        queue_.stop();
        thread_.join();
    }

private:
    dispatch::MainQueue& queue_;
    std::thread thread_;
};

}  // namespace companion::testing
