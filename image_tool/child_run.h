#pragma once
// Runs gocryptfs, fusermount3 and 7-Zip for the tool: input fed through a pipe (the password
// never reaches an argument or an environment variable), both outputs collected, and the run
// ended with the tool when the tool is asked to end.

#include <signal.h>

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace companion::image_tool {

struct ChildResult {
    int status = -1;  // exit code, 128 + signal number when a signal ended it, -1 when not started
    std::string output;
    std::string errorOutput;  // the child's own, or why it could not be started
    bool interrupted = false;  // the tool was asked to end while the child ran
};

// The signals that ask the tool to end (SIGTERM from the agent's time limit, SIGINT), held back
// and readable from one descriptor, so that a run in progress ends its child first.
UniqueFd holdEndSignals();

// Runs `executable` to its end. The run is over when the child itself ends, not when its outputs
// close: a child that leaves a daemon behind (gocryptfs) may lend it its pipes. When the tool is
// asked to end meanwhile, the child is sent `endWith`.
ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::string& input, int endSignals, int endWith = SIGTERM);

}  // namespace companion::image_tool
