#pragma once
// Git status of a working tree, in git's machine-readable form, for the host to parse.

#include <optional>
#include <string>

#include "core/tool_message.h"

namespace companion::care {

// The git to run: the first executable candidate of the tool table, else the system's entry
// point when the developer folder that xcode-select names holds one. Searched on the first call
// for a platform and kept, absent included.
std::optional<std::string> locateGit(const Platform& platform);

// The status run for a folder, or none when the folder is refused or there is no git.
std::optional<ToolRun> gitStatusRun(const Platform& platform,
                                    const service::Args<service::msg::gitStatusWithRoot>& arguments);

void installGitStatusServices(Services& services);

}  // namespace companion::care
