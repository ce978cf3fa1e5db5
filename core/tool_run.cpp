#include "core/tool_run.h"

namespace companion {

CommandResult runTool(const Platform& platform, const ToolRun& run) {
    return runCommand(run.executable, run.arguments, run.input, run.environment,
                      run.timeLimitSeconds * platform.toolTimeLimitScale);
}

}  // namespace companion
