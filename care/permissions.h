#pragma once
// Withdrawing privacy permissions: user entries reset as the user, system-wide entries together
// in one privileged shell.

#include <string>
#include <vector>

#include "core/session.h"

namespace companion::care {

// The three lists have one length, every service is ASCII letters, and every client is a bundle
// identifier or an absolute path without control characters or single quotes.
bool isPermissionResetAcceptable(const std::vector<std::string>& services, const std::vector<std::string>& clients,
                                 const std::vector<bool>& systemWide);

void installPermissionServices(Services& services);

}  // namespace companion::care
