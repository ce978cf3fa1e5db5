#pragma once
// Installed applications as the freedesktop layout knows them: desktop entries in the
// "applications" folder of each data folder.

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace companion::setup {

// The "applications" folders, most personal first: $XDG_DATA_HOME (default ~/.local/share),
// then each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share). Relative entries are ignored.
std::vector<std::string> applicationFolders(const Environment& environment, const std::string& home);

// The first desktop entry called `fileName` in `folders`.
std::optional<std::string> findDesktopEntry(const std::string& fileName, const std::vector<std::string>& folders);

}  // namespace companion::setup
