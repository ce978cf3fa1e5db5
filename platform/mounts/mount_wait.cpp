#include "platform/mounts/mount_wait.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <thread>

#include "platform/descriptor_wait.h"
#include "platform/dispatch/dispatch.h"
#include "platform/unique_fd.h"

namespace companion::mounts {
namespace {

// Reports a change of this process's mount table to poll() as POLLPRI (with POLLERR).
constexpr const char* mountTableWatchPath = "/proc/self/mountinfo";

bool isMounted(const std::string& mountPoint, const MountTableReader& table) {
    return table().contains(mountPoint);
}

}  // namespace

MountWait waitForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table) {
    // Up to the mount's whole time limit without using the CPU: the pool lends this thread's place.
    const dispatch::Blocking blocking;
    // Opened before the first reading: a mount that lands between the two still marks the
    // descriptor as changed, so it cannot be missed.
    const UniqueFd watch(::open(mountTableWatchPath, O_RDONLY | O_CLOEXEC));
    if (!watch) return pollForMountPoint(mountPoint, processFd, deadline, table, mountPollInterval);

    for (;;) {
        if (isMounted(mountPoint, table)) return MountWait::mounted;
        if (becomesReadable(processFd)) return MountWait::processEnded;
        if (Clock::now() >= deadline) return MountWait::timedOut;
        pollfd entries[] = {{watch.get(), POLLPRI, 0}, {processFd, POLLIN, 0}};
        if (pollUntil(entries, deadline) < 0) {
            return pollForMountPoint(mountPoint, processFd, deadline, table, mountPollInterval);
        }
    }
}

MountWait pollForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table, Clock::duration interval) {
    const dispatch::Blocking blocking;
    for (;;) {
        if (isMounted(mountPoint, table)) return MountWait::mounted;
        if (becomesReadable(processFd)) return MountWait::processEnded;
        if (Clock::now() >= deadline) return MountWait::timedOut;
        std::this_thread::sleep_for(std::min(interval, deadline - Clock::now()));
    }
}

}  // namespace companion::mounts
