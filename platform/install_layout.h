#pragma once
// Where this program finds its own parts: beside the executable in a build tree, in the folders
// of an installed tree otherwise. Every answer is relative to the running executable, so a tree
// moved as a whole (an extracted package, a staged DESTDIR) still finds itself.

#include <filesystem>
#include <optional>

namespace companion::layout {

// The running executable; nothing when the system will not say.
std::optional<std::filesystem::path> executablePath();

// The folder of the libraries that only this program loads (the setup window, plugins loaded on
// demand): the installed private folder when it exists, else the executable's own folder.
std::filesystem::path privateLibraryFolder();

// The folder of the packaged systemd user units, when this executable was installed with them.
std::optional<std::filesystem::path> packagedUnitFolder();

}  // namespace companion::layout
