#pragma once
// Maintenance tasks: a fixed catalogue the client picks from by identifier; the tasks that need
// no privileges run first as the user, then every privileged command in one privileged shell.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/scripts.h"
#include "core/session.h"

namespace companion::care {

struct MaintenanceTask {
    bool admin = false;
    std::vector<ShellCommand> commands;  // in order, each its program's path and arguments
};

// The catalogue, built on first use and never changed afterwards.
const std::map<std::string, MaintenanceTask>& maintenanceTasks();

// The tasks the identifiers name, in order; absent when any identifier is unknown.
std::optional<std::vector<const MaintenanceTask*>> maintenanceTasksNamed(const std::vector<std::string>& identifiers);

void runMaintenance(CompanionSession& session, service::Args<service::msg::runMaintenance> args,
                    service::Reply<service::msg::runMaintenance> reply);

void installMaintenanceServices(Services& services);

}  // namespace companion::care
