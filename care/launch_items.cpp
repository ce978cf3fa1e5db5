#include "care/launch_items.h"

#include <unistd.h>

#include <filesystem>
#include <tuple>
#include <variant>

#include "core/input_checks.h"
#include "core/scripts.h"
#include "platform/trash/trash.h"

namespace companion::care {

using namespace service;

namespace {

constexpr std::string_view userDomain = "user";
constexpr std::string_view agentDomain = "agent";
constexpr std::string_view daemonDomain = "daemon";
constexpr const char* userLaunchAgentsFolder = "/Library/LaunchAgents";
constexpr const char* guiTargetPrefix = "gui/";
constexpr const char* systemTarget = "system";
constexpr const char* targetSeparator = "/";
constexpr std::string_view plistExtension = ".plist";
constexpr const char* userTrashFolder = "/.Trash/";

constexpr const char* printDisabledCommand = "print-disabled";
constexpr const char* listCommand = "list";
constexpr double stateTimeLimitSeconds = 10;
constexpr double switchTimeLimitSeconds = 15;

constexpr std::string_view trashFailedText = "trash";

std::string guiTarget() { return guiTargetPrefix + std::to_string(::getuid()); }

struct DomainEntry {
    std::string folder;
    std::string target;
    bool admin = false;
};

std::optional<DomainEntry> domainEntry(const Platform& platform, std::string_view domain) {
    if (domain == userDomain) return DomainEntry{platform.homeDirectory() + userLaunchAgentsFolder, guiTarget(), false};
    if (domain == agentDomain) return DomainEntry{platform.tools.launchAgentsFolder, guiTarget(), true};
    if (domain == daemonDomain) return DomainEntry{platform.tools.launchDaemonsFolder, systemTarget, true};
    return std::nullopt;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The two launchctl commands of a switch: enable or disable the label, then load or unload the file.
std::vector<ShellCommand> switchCommands(const Platform& platform, const ResolvedLaunchItem& item,
                                         const std::string& label, bool enabled) {
    const std::string& launchctl = platform.tools.launchctl;
    return {
        {launchctl, enabled ? "enable" : "disable", item.target + targetSeparator + label},
        {launchctl, enabled ? "bootstrap" : "bootout", item.target, item.plist},
    };
}

AdminShellResult switchItem(const Platform& platform, const ResolvedLaunchItem& item, const std::string& label,
                            bool enabled) {
    const auto commands = switchCommands(platform, item, label, enabled);
    if (item.admin) return runAdminShell(platform, commands);
    std::vector<ToolRun> runs;
    for (const ShellCommand& command : commands)
        runs.push_back({command.front(), {command.begin() + 1, command.end()}, std::nullopt, std::nullopt,
                        switchTimeLimitSeconds});
    return runAsUserThenAsAdministrator(platform, runs, {});
}

// Where the privileged move sends an item: the Trash folder itself while no item of that name
// is there, else a free name in it, since moving into the folder would silently replace the
// earlier item.
std::string privilegedTrashDestination(const std::string& trashFolder, const std::string& plist) {
    std::error_code error;
    int attempt = 1;
    while (std::filesystem::exists(trashFolder + trash::trashName(plist, attempt), error)) ++attempt;
    return attempt == 1 ? trashFolder : trashFolder + trash::trashName(plist, attempt);
}

std::tuple<bool, std::string> moveToTrash(const Platform& platform, const ResolvedLaunchItem& item) {
    if (item.admin) {
        const std::string destination = privilegedTrashDestination(platform.homeDirectory() + userTrashFolder, item.plist);
        const AdminShellResult moved = runAdminShell(platform, {{platform.tools.mv, item.plist, destination}});
        return {moved.success, moved.error};
    }
    const auto moved = trash::moveToTrash(item.plist, trash::userTrashDirectory(platform));
    if (moved.index() != 0) return {false, std::string(trashFailedText)};
    return {true, ""};
}

void launchctlStateWithReply(CompanionSession& session, Args<msg::launchctlStateWithReply>,
                             Reply<msg::launchctlStateWithReply> reply) {
    session.submit(std::move(reply), [self = session.shared_from_this()] {
        const Platform& platform = self->platform();
        const std::string& launchctl = platform.tools.launchctl;
        const CommandResult disabled =
            runTool(platform, {launchctl, {printDisabledCommand, guiTarget()}, std::nullopt, std::nullopt,
                               stateTimeLimitSeconds});
        const CommandResult list =
            runTool(platform, {launchctl, {listCommand}, std::nullopt, std::nullopt, stateTimeLimitSeconds});
        return std::tuple{disabled.output, list.output};
    });
}

void setLaunchItemWithLabel(CompanionSession& session, Args<msg::setLaunchItemWithLabel> args,
                            Reply<msg::setLaunchItemWithLabel> reply) {
    auto [label, plist, domain, enabled] = std::move(args);
    auto item = resolveLaunchItem(session.platform(), label, plist, domain);
    if (!item) return reply.refuse();
    session.submit(std::move(reply), [item = std::move(*item), label = std::move(label), on = enabled,
                                      self = session.shared_from_this()] {
        const AdminShellResult result = switchItem(self->platform(), item, label, on);
        return std::tuple{result.success, result.error};
    });
}

void removeLaunchItemWithLabel(CompanionSession& session, Args<msg::removeLaunchItemWithLabel> args,
                               Reply<msg::removeLaunchItemWithLabel> reply) {
    auto [label, plist, domain] = std::move(args);
    auto item = resolveLaunchItem(session.platform(), label, plist, domain);
    if (!item) return reply.refuse();
    session.submit(std::move(reply), [item = std::move(*item), label = std::move(label),
                                      self = session.shared_from_this()] {
        // Whatever switching off reports, the item goes to the Trash.
        (void)switchItem(self->platform(), item, label, false);
        return moveToTrash(self->platform(), item);
    });
}

}  // namespace

std::optional<ResolvedLaunchItem> resolveLaunchItem(const Platform& platform, const std::string& label,
                                                    const std::string& plist, const std::string& domain) {
    const auto entry = domainEntry(platform, domain);
    if (!entry || !isIdentifier(label)) return std::nullopt;
    auto path = sanitizedPath(plist, true);
    if (!path || !path->ends_with(plistExtension) || parentOf(*path) != entry->folder) return std::nullopt;
    return ResolvedLaunchItem{std::move(*path), entry->target, entry->admin};
}

void installLaunchItemServices(Services& services) {
    auto& handlers = services.handlers;
    handlers.launchctlStateWithReply = &launchctlStateWithReply;
    handlers.setLaunchItemWithLabel = &setLaunchItemWithLabel;
    handlers.removeLaunchItemWithLabel = &removeLaunchItemWithLabel;
}

}  // namespace companion::care
