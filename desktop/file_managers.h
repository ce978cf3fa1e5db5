#pragma once
// The desktop's file manager, standing for the Finder: which program it is, and the folder each
// of its windows shows. PCManFM shows the folder as an absolute path in its location bar.

#include <atspi/atspi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace companion::desktop {

// The program the desktop opens folders with (its desktop entry's executable's name).
std::string fileManagerProgram();
// The name of the process's executable; empty when it cannot be read.
std::string executableName(int32_t pid);
// An absolute path as a "file" URL, every byte but the unreserved ones percent-encoded.
std::string fileUrl(std::string_view path);
// The folder a file manager's window shows, as a "file" URL; none when it shows none.
std::optional<std::string> shownFolderUrl(AtspiAccessible* window);

}  // namespace companion::desktop
