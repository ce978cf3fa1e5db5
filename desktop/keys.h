#pragma once
// What each keyboard event of the assistant asks of a desktop without the original's shortcuts:
// the go-to-folder shortcut, select-all, Return and typed text become one action each. Pure.

#include <string>
#include <string_view>

#include "platform/accessibility/accessibility.h"

namespace companion::desktop {

enum class KeyAction {
    none,        // nothing to do (a key-up half, a key the assistant never presses)
    typeText,    // the event's text, typed
    goToFolder,  // open or focus the dialog's field that takes a folder's path
    selectAll,
    confirm,     // Return
};

KeyAction keyActionOf(const accessibility::KeyboardEvent& event);

// The characters of UTF-16 code units; a lone surrogate stays a character of its own.
std::u32string utf32(std::u16string_view units);

}  // namespace companion::desktop
