#pragma once
// Moving a file to the user's Trash, in the freedesktop layout: the item goes into "files/",
// and an "info/<name>.trashinfo" beside it records where it came from and when.

#include <string>
#include <variant>

#include "platform/platform.h"

namespace companion::trash {

// "$XDG_DATA_HOME/Trash" when that variable holds an absolute path, else
// "<home>/.local/share/Trash".
std::string userTrashDirectory(const std::string& home, const Environment& environment);
std::string userTrashDirectory(const Platform& platform);

// The name `path` takes in a Trash on its `attempt`-th try: its own name first, then " 2", " 3",
// ... before the extension ("a.plist", "a 2.plist").
std::string trashName(const std::string& path, int attempt);

// Moves `path` (absolute) into `trashDirectory`. A name already taken there gets a new one
// (" 2", " 3", ... before the extension), so nothing in the Trash is ever replaced. Returns the
// item's place in the Trash, or why it could not be moved. A file on another file system than
// the Trash is not copied: that fails.
std::variant<std::string, std::string> moveToTrash(const std::string& path, const std::string& trashDirectory);

}  // namespace companion::trash
