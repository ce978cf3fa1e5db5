#include "desktop/gtk4.h"

#include <string_view>

#include "desktop/atspi_calls.h"

namespace companion::desktop::gtk4 {

namespace {

constexpr std::string_view chooserWidgetName = "GtkFileChooserWidget";
constexpr std::string_view newFolderMenuName = "GtkMenuButton";
// The new-folder menu sits beside the path bar, ten levels below the chooser widget; another menu
// button of both kinds of chooser lies four levels deeper.
constexpr int newFolderMenuDepth = 11;
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

bool isNewFolderMenu(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_PUSH_BUTTON) && nameOf(element) == newFolderMenuName;
}

}  // namespace

bool choosesFolders(AtspiAccessible* window) {
    if (chooserPanel(window) != Panel::open) return false;
    AccessibleRef chooser = findBelow(window, chooserDepth, isChooserWidget);
    return chooser && findBelow(chooser.get(), newFolderMenuDepth, isNewFolderMenu);
}

std::optional<Panel> chooserPanel(AtspiAccessible* window) {
    AccessibleRef chooser = findBelow(window, chooserDepth, isChooserWidget);
    if (!chooser) return std::nullopt;
    const bool named = findBelow(chooser.get(), nameFieldDepth, isEditableText) ||
                       (isRole(window, ATSPI_ROLE_DIALOG) && findBelow(window, headerFieldDepth, isEditableText));
    return named ? Panel::save : Panel::open;
}

}  // namespace companion::desktop::gtk4
