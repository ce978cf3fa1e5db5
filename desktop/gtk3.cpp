#include "desktop/gtk3.h"

#include "desktop/atspi_calls.h"

namespace companion::desktop::gtk3 {

namespace {

constexpr int nameFieldDepth = 5;
// How deep a program may hold a chooser inside its own window.
constexpr int embeddedChooserDepth = 6;

bool isChooser(AtspiAccessible* element) { return isRole(element, ATSPI_ROLE_FILE_CHOOSER); }

}  // namespace

std::optional<Panel> chooserPanel(AtspiAccessible* element) {
    if (!isChooser(element)) return std::nullopt;
    return findBelow(element, nameFieldDepth, isEditableText) ? Panel::save : Panel::open;
}

AccessibleRef embeddedChooser(AtspiAccessible* window) { return findBelow(window, embeddedChooserDepth, isChooser); }

}  // namespace companion::desktop::gtk3
