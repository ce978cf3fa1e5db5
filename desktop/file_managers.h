#pragma once
// The desktop's file manager, standing for the Finder: which program it is, and the folder each
// of its windows shows. Each program shows it its own way: PCManFM and Thunar as an absolute path
// in a location entry, Nemo (and Thunar in its other style) as a bar of folder buttons; Nautilus
// publishes its windows' folders on the session bus (desktop/nautilus.h).

#include <atspi/atspi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion::desktop {

// The program the desktop opens folders with (its desktop entry's executable's name).
std::string fileManagerProgram();
// The name of the process's executable; empty when it cannot be read.
std::string executableName(int32_t pid);
// An absolute path as a "file" URL, every byte but the unreserved ones percent-encoded.
std::string fileUrl(std::string_view path);
// The folder a file manager's window shows, as a "file" URL; none when it shows none.
std::optional<std::string> shownFolderUrl(AtspiAccessible* window);

// One button of a path bar, as the bar lists it.
struct PathButton {
    std::string name;
    bool toggle = false;   // a folder's button (the bar also holds plain scroll buttons)
    bool checked = false;  // the folder the window shows
};
// The folder a path bar shows, from its buttons listed deepest first down to the unnamed button
// of the file system's root (buttons deeper than the shown folder stay after going up); none when
// the bar does not reach the root or shows no folder.
std::optional<std::string> pathOfPathBar(const std::vector<PathButton>& buttons);
// The buttons of the path bar that holds `button`, when it is the checked button of one: read from
// the shown folder's button up to its container, as the buttons of folders scrolled out of the bar
// are not showing, yet still listed there.
std::optional<std::vector<PathButton>> pathBarOf(AtspiAccessible* button);

}  // namespace companion::desktop
