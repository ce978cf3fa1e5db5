#include "core/tool_run.h"

#include <memory>

namespace companion {

namespace {
constexpr const char* forceUnmountFlag = "-f";
constexpr double unmountTimeLimitSeconds = 8;
// FUSE file systems ("fuse", "fuseblk", "fuse.rclone"...) are released by fusermount3, which
// lets the user who mounted one unmount it; a lazy release ("-z") is its forced form.
constexpr std::string_view fuseTypePrefix = "fuse";
constexpr const char* fuseUnmountFlag = "-u";
constexpr const char* fuseLazyFlag = "-z";
}  // namespace

CommandResult runTool(const Platform& platform, const ToolRun& run) {
    return runCommand(run.executable, run.arguments, run.input, run.environment,
                      run.timeLimitSeconds * platform.toolTimeLimitScale);
}

std::vector<CommandResult> runTool(const Platform& platform, const std::vector<ToolRun>& runs) {
    std::vector<CommandResult> results;
    results.reserve(runs.size());
    for (const ToolRun& run : runs) results.push_back(runTool(platform, run));
    return results;
}

void runToolOnLoop(const Platform& platform, ToolRun run, std::function<void(CommandResult)> done) {
    runCommandOnLoop(*platform.dispatcher->loop(), std::move(run.executable), std::move(run.arguments),
                     std::move(run.input), std::move(run.environment),
                     run.timeLimitSeconds * platform.toolTimeLimitScale, std::move(done));
}

namespace {

// Runs what is left of `runs` from `next` on, one after the other, collecting into `results`.
void runRemaining(const Platform& platform, std::shared_ptr<std::vector<ToolRun>> runs, size_t next,
                  std::vector<CommandResult> results, std::function<void(std::vector<CommandResult>)> done) {
    if (next == runs->size()) return done(std::move(results));
    // Moved out: a request may name a million runs, and each is let go of once it has started.
    ToolRun run = std::move((*runs)[next]);
    runToolOnLoop(platform, std::move(run),
                  [&platform, runs, next, results = std::move(results), done = std::move(done)](CommandResult result) mutable {
                      results.push_back(std::move(result));
                      runRemaining(platform, runs, next + 1, std::move(results), std::move(done));
                  });
}

}  // namespace

void runToolOnLoop(const Platform& platform, std::vector<ToolRun> runs,
                   std::function<void(std::vector<CommandResult>)> done) {
    std::vector<CommandResult> results;
    results.reserve(runs.size());
    runRemaining(platform, std::make_shared<std::vector<ToolRun>>(std::move(runs)), 0, std::move(results),
                 std::move(done));
}

ToolRun fuseReleaseRun(const Platform& platform, const std::string& mountPoint, bool lazy) {
    ToolRun run{platform.tools.fusermount, {fuseUnmountFlag}, std::nullopt, std::nullopt, unmountTimeLimitSeconds};
    if (lazy) run.arguments.emplace_back(fuseLazyFlag);
    run.arguments.push_back(mountPoint);
    return run;
}

ToolRun unmountRun(const Platform& platform, const std::string& mountPoint, bool force) {
    const MountTable table = platform.mountTable();
    const auto found = table.find(mountPoint);
    if (found != table.end() && found->second.starts_with(fuseTypePrefix))
        return fuseReleaseRun(platform, mountPoint, force);
    ToolRun run{platform.tools.umount, {}, std::nullopt, std::nullopt, unmountTimeLimitSeconds};
    if (force) run.arguments.emplace_back(forceUnmountFlag);
    run.arguments.push_back(mountPoint);
    return run;
}

}  // namespace companion
