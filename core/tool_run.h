#pragma once
// One way of describing a run of a fixed system tool, so that every message that runs one reads
// the same: which tool (a path from the tool table), its arguments, what it reads, its
// environment and its time limit. It knows nothing of sessions: the setup window runs tools too.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/command_runner.h"
#include "platform/platform.h"
#include "platform/process/process.h"

namespace companion {

struct ToolRun {
    std::string executable;  // absolute, from the platform's tool table
    std::vector<std::string> arguments;
    std::optional<Bytes> input;               // absent: the null device
    std::optional<Environment> environment;   // absent: the agent's own
    double timeLimitSeconds = 60.0;
    bool operator==(const ToolRun&) const = default;
};

// Runs `run` through `runCommand`, its time limit scaled by the platform (tests shorten it).
CommandResult runTool(const Platform& platform, const ToolRun& run);
// Runs each in order, each to its end before the next starts.
std::vector<CommandResult> runTool(const Platform& platform, const std::vector<ToolRun>& runs);

// The same runs without holding a thread while they wait: on the platform's event loop, each
// to its end before the next starts; `done` is called on the loop's thread and must be short.
void runToolOnLoop(const Platform& platform, ToolRun run, std::function<void(CommandResult)> done);
void runToolOnLoop(const Platform& platform, std::vector<ToolRun> runs,
                   std::function<void(std::vector<CommandResult>)> done);

using process::isExecutableFile;

// The umount run of one mount point, plain or forced: shared by the unmount request and the
// end of a session's mounts, which must agree on it. A FUSE mount, which the user's umount
// cannot release, gets `fuseReleaseRun` instead.
ToolRun unmountRun(const Platform& platform, const std::string& mountPoint, bool force);
// fusermount3's release of a FUSE mount; lazy: detached now, even with its process gone
// ("transport endpoint is not connected") or its files busy.
ToolRun fuseReleaseRun(const Platform& platform, const std::string& mountPoint, bool lazy);

}  // namespace companion
