#pragma once
// Waiting for a folder to become a mount point while the process that mounts it runs.
//
// The kernel tells a reader of the mount table when the table changes, so the table is read only
// after a change rather than on a timer: a mount that comes up in a few milliseconds is seen in a
// few milliseconds.

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace companion::mounts {

using Clock = std::chrono::steady_clock;
// Mount point to file-system type.
using MountTable = std::map<std::string, std::string>;
using MountTableReader = std::function<MountTable()>;

// Why a wait for a mount point returned.
enum class MountWait { mounted, processEnded, timedOut };

// Waits until `mountPoint` is a key of `table()`, the process behind `processFd` (a pidfd) ends,
// or `deadline` passes, whichever comes first. The table is read once at the start and again
// after each change the kernel reports; a failure to watch the table falls back to
// `pollForMountPoint` with its usual interval.
MountWait waitForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table);

// The same answer by reading the table every `interval`, as a plain timer loop would.
MountWait pollForMountPoint(const std::string& mountPoint, int processFd, Clock::time_point deadline,
                            const MountTableReader& table, Clock::duration interval);

// The interval of the timer loop.
inline constexpr std::chrono::milliseconds mountPollInterval{200};

}  // namespace companion::mounts
