#pragma once
// Waiting on descriptors with a deadline, and the time conversions that waiting needs: the one
// place where a steady-clock deadline becomes what poll(2) and epoll(7) take.

#include <poll.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <span>

namespace companion {

using SteadyClock = std::chrono::steady_clock;

// The time left until `deadline` as ppoll(2) takes it; zero once it has passed.
timespec timespecUntil(SteadyClock::time_point deadline);
// The same in whole milliseconds for epoll_wait(2), rounded up so that a wait never ends just
// before the deadline and spins; -1 (wait without end) when there is none.
int millisecondsUntil(std::optional<SteadyClock::time_point> deadline);

// Waits until one of `entries` reports an event or `deadline` passes (none: no deadline),
// resuming after interrupted waits. The number of entries with events, 0 when the deadline
// passed first, -1 on any other failure (errno tells which).
int pollUntil(std::span<pollfd> entries, std::optional<SteadyClock::time_point> deadline);

// True when `fd` is readable or hung up within `limit` (zero: right now). A failure to ask
// counts as readable: the caller's next read or wait on the descriptor then says what is wrong,
// instead of waiting for ever on a descriptor that poll cannot watch.
bool becomesReadable(int fd, SteadyClock::duration limit = SteadyClock::duration::zero());

}  // namespace companion
