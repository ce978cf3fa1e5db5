#include "core/tool_run.h"

namespace companion {

namespace {
constexpr const char* forceUnmountFlag = "-f";
constexpr double unmountTimeLimitSeconds = 8;
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

ToolRun unmountRun(const Platform& platform, const std::string& mountPoint, bool force) {
    ToolRun run{platform.tools.umount, {}, std::nullopt, std::nullopt, unmountTimeLimitSeconds};
    if (force) run.arguments.emplace_back(forceUnmountFlag);
    run.arguments.push_back(mountPoint);
    return run;
}

}  // namespace companion
