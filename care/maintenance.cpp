#include "care/maintenance.h"

#include <unistd.h>

#include <tuple>

namespace companion::care {

using namespace service;

namespace {

constexpr double unprivilegedTimeLimitSeconds = 120;

std::map<std::string, MaintenanceTask> buildCatalogue() {
    // The fixed places of the tools, not a session's table: the catalogue outlives sessions.
    const ToolPaths tools;
    // The agent runs as one user for its whole life, so the id is taken once.
    const std::string userId = std::to_string(::getuid());
    return {
        {"dns", {true, {{tools.dscacheutil, "-flushcache"}, {tools.killall, "-HUP", "mDNSResponder"}}}},
        {"purgeable", {true, {{tools.tmutil, "thinlocalsnapshots", "/", "999999999999", "4"}}}},
        {"spotlight", {true, {{tools.mdutil, "-E", "/"}}}},
        {"ram", {true, {{tools.purge}}}},
        {"launchservices",
         {false, {{tools.lsregister, "-kill", "-r", "-domain", "local", "-domain", "system", "-domain", "user"}}}},
        {"quicklook", {false, {{tools.qlmanage, "-r"}, {tools.qlmanage, "-r", "cache"}}}},
        {"permissions", {true, {{tools.diskutil, "resetUserPermissions", "/", userId}}}},
        {"fonts", {false, {{tools.atsutil, "databases", "-removeUser"}}}},
    };
}

std::vector<ToolRun> unprivilegedRuns(const std::vector<const MaintenanceTask*>& tasks) {
    std::vector<ToolRun> runs;
    for (const MaintenanceTask* task : tasks) {
        if (task->admin) continue;
        for (const ShellCommand& command : task->commands)
            runs.push_back({command.front(), {command.begin() + 1, command.end()}, std::nullopt, std::nullopt,
                            unprivilegedTimeLimitSeconds});
    }
    return runs;
}

std::vector<ShellCommand> privilegedCommands(const std::vector<const MaintenanceTask*>& tasks) {
    std::vector<ShellCommand> commands;
    for (const MaintenanceTask* task : tasks) {
        if (task->admin) commands.insert(commands.end(), task->commands.begin(), task->commands.end());
    }
    return commands;
}

}  // namespace

const std::map<std::string, MaintenanceTask>& maintenanceTasks() {
    static const std::map<std::string, MaintenanceTask> catalogue = buildCatalogue();
    return catalogue;
}

std::optional<std::vector<const MaintenanceTask*>> maintenanceTasksNamed(const std::vector<std::string>& identifiers) {
    const auto& catalogue = maintenanceTasks();
    std::vector<const MaintenanceTask*> tasks;
    for (const std::string& identifier : identifiers) {
        const auto found = catalogue.find(identifier);
        if (found == catalogue.end()) return std::nullopt;
        tasks.push_back(&found->second);
    }
    return tasks;
}

void runMaintenance(CompanionSession& session, Args<msg::runMaintenance> args, Reply<msg::runMaintenance> reply) {
    auto tasks = maintenanceTasksNamed(std::get<0>(args));
    if (!tasks) return reply.refuse();
    session.submit(std::move(reply), [tasks = std::move(*tasks), self = session.shared_from_this()] {
        const AdminShellResult result =
            runAsUserThenAsAdministrator(self->platform(), unprivilegedRuns(tasks), privilegedCommands(tasks));
        return std::tuple{result.success, result.error};
    });
}

void installMaintenanceServices(Services& services) { services.handlers.runMaintenance = &runMaintenance; }

}  // namespace companion::care
