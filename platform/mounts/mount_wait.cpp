#include "platform/mounts/mount_wait.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <thread>

#include "platform/process/unique_fd.h"

namespace companion::mounts {
namespace {

// Reports a change of this process's mount table to poll() as POLLPRI (with POLLERR).
constexpr const char* mountTableWatchPath = "/proc/self/mountinfo";

bool isMounted(const std::string& mountPoint, const MountTableReader& table) {
    return table().contains(mountPoint);
}

bool hasEnded(int processFd) {
    pollfd entry{processFd, POLLIN, 0};
    while (::poll(&entry, 1, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return (entry.revents & POLLIN) != 0;
}

timespec timespecUntil(Clock::time_point deadline) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

}  // namespace

MountWait waitForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table) {
    // Opened before the first reading: a mount that lands between the two still marks the
    // descriptor as changed, so it cannot be missed.
    const UniqueFd watch(::open(mountTableWatchPath, O_RDONLY | O_CLOEXEC));
    if (!watch) return pollForMountPoint(mountPoint, processFd, deadline, table, mountPollInterval);

    for (;;) {
        if (isMounted(mountPoint, table)) return MountWait::mounted;
        if (hasEnded(processFd)) return MountWait::processEnded;
        if (Clock::now() >= deadline) return MountWait::timedOut;
        pollfd entries[] = {{watch.get(), POLLPRI, 0}, {processFd, POLLIN, 0}};
        const timespec timeout = timespecUntil(deadline);
        if (::ppoll(entries, std::size(entries), &timeout, nullptr) < 0 && errno != EINTR) {
            return pollForMountPoint(mountPoint, processFd, deadline, table, mountPollInterval);
        }
    }
}

MountWait pollForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table, Clock::duration interval) {
    for (;;) {
        if (isMounted(mountPoint, table)) return MountWait::mounted;
        if (hasEnded(processFd)) return MountWait::processEnded;
        if (Clock::now() >= deadline) return MountWait::timedOut;
        std::this_thread::sleep_for(std::min(interval, deadline - Clock::now()));
    }
}

}  // namespace companion::mounts
