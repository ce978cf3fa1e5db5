#pragma once
// What an accessible role means to the assistant: the role name the interface reads, and which
// roles take text, hold many rows or list files. Pure: no bus and no desktop behind it.

#include <atspi/atspi-constants.h>

#include <string_view>

namespace companion::desktop {

// The interface's name for elements of this role ("AXWindow", "AXTextField", ...).
std::string_view roleName(AtspiRole role);
// A field that takes typed text.
bool isTextRole(AtspiRole role);
// An element of many rows (lists, tables, menus): walks never enter it, its rows are many and
// never what is sought.
bool isCollectionRole(AtspiRole role);
// The list of a file dialog or a file manager's window.
bool isFileViewRole(AtspiRole role);

}  // namespace companion::desktop
