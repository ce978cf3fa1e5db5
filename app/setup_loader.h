#pragma once
// Setup mode: loads the setup library from the program's private library folder and runs it.

#include <string>
#include <variant>

#include "setup/setup_entry.h"

namespace companion::app {

// Exit status when the setup library cannot be loaded.
inline constexpr int exitSetupUnavailable = 2;

// The library's entry, or why it cannot be had.
std::variant<setup::Entry, std::string> loadSetupEntry();

// Loads the library and runs the setup application; reports a library that cannot be loaded.
int runSetup(int argc, char** argv, const setup::EntryHooks* hooks = nullptr);

}  // namespace companion::app
