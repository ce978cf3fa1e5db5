#include "desktop/gtk4.h"

#include <string_view>

#include "desktop/atspi_calls.h"

namespace companion::desktop::gtk4 {

namespace {

constexpr std::string_view chooserWidgetName = "GtkFileChooserWidget";
constexpr std::string_view pathBarName = "GtkPathBar";
constexpr std::string_view newFolderMenuName = "GtkMenuButton";
// The path bar lies ten levels below the chooser widget, in its header.
constexpr int pathBarDepth = 10;
// How deep the chooser widget lies in a dialog (three levels) or a program's own window.
constexpr int chooserDepth = 6;
// The Save chooser's name field lies four levels below the widget; the Open chooser's fields
// twice as deep.
constexpr int nameFieldDepth = 4;
// A dialog with a header bar (GTK 4 on Wayland) holds the name field there instead, this deep.
constexpr int headerFieldDepth = 5;

bool isChooserWidget(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_FILLER) && nameOf(element) == chooserWidgetName;
}

bool isPathBar(AtspiAccessible* element) { return isRole(element, ATSPI_ROLE_FILLER) && nameOf(element) == pathBarName; }

}  // namespace

bool choosesFolders(AtspiAccessible* window) {
    AccessibleRef chooser = findBelow(window, chooserDepth, isChooserWidget);
    AccessibleRef bar = chooser ? findBelow(chooser.get(), pathBarDepth, isPathBar) : nullptr;
    AccessibleRef header = bar ? parentOf(bar.get()) : nullptr;
    if (!header) return false;
    CallError error;
    for (auto& beside : childrenOf(header.get(), error)) {
        if (isRole(beside.get(), ATSPI_ROLE_PUSH_BUTTON) && nameOf(beside.get()) == newFolderMenuName) return true;
    }
    return false;
}

std::optional<Panel> chooserPanel(AtspiAccessible* window) {
    AccessibleRef chooser = findBelow(window, chooserDepth, isChooserWidget);
    if (!chooser) return std::nullopt;
    const bool named = findBelow(chooser.get(), nameFieldDepth, isEditableText) ||
                       (isRole(window, ATSPI_ROLE_DIALOG) && findBelow(window, headerFieldDepth, isEditableText));
    return named ? Panel::save : Panel::open;
}

}  // namespace companion::desktop::gtk4
