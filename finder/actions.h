#pragma once
// Finder's information windows, and quitting and reopening Finder.

#include <string>
#include <vector>

#include "core/session.h"

namespace companion::finder {

inline constexpr const char* finderBundleIdentifier = "com.apple.finder";

// The script that opens one information window per path, in order.
std::string getInfoScript(const std::vector<std::string>& paths);

void installActionServices(Services& services);

}  // namespace companion::finder
