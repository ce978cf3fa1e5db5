#include "finder/cloud_items.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "core/input_checks.h"

namespace companion::finder {

using namespace service;

namespace {

constexpr char evictVerb[] = "evict";
constexpr char materializeVerb[] = "materialize";
constexpr double cloudItemTimeLimitSeconds = 600;

constexpr const char* recentItemsService = "sharedfilelistd";
constexpr double restartTimeLimitSeconds = 5;

// The count of paths the tool handled; a path it failed on or ran out of time with is simply
// not counted.
std::tuple<int64_t> succeededRuns(const std::vector<CommandResult>& results) {
    return {std::count_if(results.begin(), results.end(), [](const CommandResult& r) { return r.status == 0; })};
}

template <const char* verb>
std::optional<std::vector<ToolRun>> cloudRuns(const Platform& platform, const std::tuple<std::vector<std::string>>& arguments) {
    return cloudItemRuns(platform, verb, std::get<0>(arguments));
}

std::optional<ToolRun> restartRun(const Platform& platform, const Args<msg::restartRecentItemsWithReply>&) {
    return ToolRun{platform.tools.killall, {recentItemsService}, std::nullopt, std::nullopt, restartTimeLimitSeconds};
}

// Whether the service was running, or killall there at all, makes no difference to the host.
std::tuple<> completion(const CommandResult&) { return {}; }

}  // namespace

std::vector<ToolRun> cloudItemRuns(const Platform& platform, const std::string& verb,
                                   const std::vector<std::string>& paths) {
    std::vector<ToolRun> runs;
    for (const std::string& path : paths) {
        auto kept = sanitizedPath(path, true);
        if (!kept) continue;
        runs.push_back({platform.tools.fileproviderctl, {verb, std::move(*kept)}, std::nullopt, std::nullopt,
                        cloudItemTimeLimitSeconds});
    }
    return runs;
}

void installCloudItemServices(Services& services) {
    auto& handlers = services.handlers;
    handlers.evictFromCloudWithPaths = &toolMessage<msg::evictFromCloudWithPaths, cloudRuns<evictVerb>, succeededRuns>;
    handlers.downloadFromCloudWithPaths =
        &toolMessage<msg::downloadFromCloudWithPaths, cloudRuns<materializeVerb>, succeededRuns>;
    handlers.restartRecentItemsWithReply = &toolMessage<msg::restartRecentItemsWithReply, restartRun, completion>;
}

}  // namespace companion::finder
