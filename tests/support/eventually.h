#pragma once
// Waiting for a condition that another process or thread makes true.

#include <chrono>
#include <thread>

namespace companion::testing {

// True once `condition` holds, asked again every `interval`; false when `limit` ran out first.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30),
                std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

}  // namespace companion::testing
