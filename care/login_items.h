#pragma once
// Login items, listed and removed through System Events scripts.

#include <string>

#include "core/session.h"

namespace companion::care {

// The listing script: one line per item, its name, a tab, its path and a line feed.
extern const std::string loginItemsScript;

// The script that deletes the login item named `name`.
std::string removeLoginItemScript(const std::string& name);

void installLoginItemServices(Services& services);

}  // namespace companion::care
