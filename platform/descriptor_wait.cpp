#include "platform/descriptor_wait.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace companion {

timespec timespecUntil(SteadyClock::time_point deadline) {
    const auto left = std::max(deadline - SteadyClock::now(), SteadyClock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

int millisecondsUntil(std::optional<SteadyClock::time_point> deadline) {
    if (!deadline) return -1;
    const auto left = *deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

int pollUntil(std::span<pollfd> entries, std::optional<SteadyClock::time_point> deadline) {
    for (;;) {
        const timespec timeout = deadline ? timespecUntil(*deadline) : timespec{};
        const int ready = ::ppoll(entries.data(), entries.size(), deadline ? &timeout : nullptr, nullptr);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

bool becomesReadable(int fd, SteadyClock::duration limit) {
    pollfd entry{fd, POLLIN, 0};
    return pollUntil({&entry, 1}, SteadyClock::now() + limit) != 0;
}

}  // namespace companion
