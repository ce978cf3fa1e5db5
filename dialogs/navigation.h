#pragma once
// Sending a process's Open or Save dialog to a folder, the way a user would at the keyboard.

#include <optional>
#include <string>
#include <string_view>

#include "dialogs/element_access.h"

namespace companion::dialogs {

// The go-to-folder field, when the focus has moved to it since `previousFocus` was taken.
std::optional<Element> pathField(Accessibility& ax, const std::optional<Element>& previousFocus);

// Types `text` into whatever has the keyboard focus, in events of at most 18 UTF-16 code units.
void typeText(Accessibility& ax, std::string_view text);

}  // namespace companion::dialogs
