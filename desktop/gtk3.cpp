#include "desktop/gtk3.h"

#include <vector>

#include "desktop/atspi_calls.h"

namespace companion::desktop::gtk3 {

namespace {

constexpr int nameFieldDepth = 5;
// How deep a program may hold a chooser inside its own window.
constexpr int embeddedChooserDepth = 6;
// The dialog's own buttons lie this deep (in its action area or its header bar).
constexpr int dialogButtonDepth = 4;

bool isChooser(AtspiAccessible* element) { return isRole(element, ATSPI_ROLE_FILE_CHOOSER); }

}  // namespace

std::optional<Panel> chooserPanel(AtspiAccessible* element) {
    if (!isChooser(element)) return std::nullopt;
    return findBelow(element, nameFieldDepth, isEditableText) ? Panel::save : Panel::open;
}

AccessibleRef embeddedChooser(AtspiAccessible* window) { return findBelow(window, embeddedChooserDepth, isChooser); }

AccessibleRef acceptButton(AtspiAccessible* dialog) {
    std::vector<AccessibleRef> buttons;
    findBelow(dialog, dialogButtonDepth, [&buttons](AtspiAccessible* element) {
        if (isRole(element, ATSPI_ROLE_PUSH_BUTTON))
            buttons.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(element)));
        return false;
    });
    if (buttons.size() < 2) return nullptr;
    return std::move(buttons.back());
}

}  // namespace companion::desktop::gtk3
