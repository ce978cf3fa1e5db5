#pragma once
// The folders shown in the Finder's windows.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/element_access.h"
#include "platform/workspace/workspace.h"

namespace companion::dialogs {

inline constexpr std::string_view finderBundleIdentifier = workspace::fileManagerBundleIdentifier;
inline constexpr size_t maxFinderWindows = 12;

// The paths behind the Finder's first windows, once each, in window order: from the documents the
// file manager publishes for its windows where it does, else read window by window.
std::vector<std::string> finderFolders(Accessibility& ax, const workspace::Workspace& workspace);

// The standardised, percent-decoded path of a "file" URL; none for any other URL or a text that
// is not one.
std::optional<std::string> filePathOfUrl(std::string_view url);

}  // namespace companion::dialogs
