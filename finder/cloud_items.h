#pragma once
// Cloud items (evicting local copies, downloading them) and restarting the recent-items service.

#include <optional>
#include <string>
#include <vector>

#include "core/tool_message.h"

namespace companion::finder {

// One run of the file-provider tool per kept path, in order: paths that are not absolute, hold
// a control character or name nothing are dropped without notice. Never refused.
std::vector<ToolRun> cloudItemRuns(const Platform& platform, const std::string& verb,
                                   const std::vector<std::string>& paths);

// evictFromCloudWithPaths, downloadFromCloudWithPaths, restartRecentItemsWithReply.
void installCloudItemServices(Services& services);

}  // namespace companion::finder
