#pragma once
// Launch agents and daemons: the state launchctl reports, switching an item on or off, and
// removing it to the Trash. Items of the system-wide folders need a privileged shell.

#include <optional>
#include <string>

#include "core/session.h"

namespace companion::care {

// A checked request: the standardised property-list path, the launchctl domain target, and
// whether administrator privileges are needed.
struct ResolvedLaunchItem {
    std::string plist;
    std::string target;
    bool admin = false;
    bool operator==(const ResolvedLaunchItem&) const = default;
};

// Absent when the domain is unknown, the label breaks the identifier rule, or the property list
// does not exist, does not end in ".plist" or does not lie directly in the domain's folder.
std::optional<ResolvedLaunchItem> resolveLaunchItem(const Platform& platform, const std::string& label,
                                                    const std::string& plist, const std::string& domain);

void installLaunchItemServices(Services& services);

}  // namespace companion::care
