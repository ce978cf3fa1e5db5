#include "desktop/qt.h"

#include <algorithm>
#include <array>

#include "desktop/atspi_calls.h"

namespace companion::desktop::qt {

namespace {

// The file view lies this deep below its dialog (Qt's own dialog and KDE's).
constexpr int fileViewDepth = 6;
// KDE's dialog holds its name field in an editable combo box, this deep below the dialog.
constexpr int comboFieldDepth = 3;
constexpr std::array<std::string_view, 2> saveButtonNames = {"Save", "Enregistrer"};
constexpr int buttonDepth = 2;

bool isFileView(AtspiAccessible* element) {
    CallError error;
    return isFileViewRole(roleOf(element, error)) && !error;
}

bool isSaveButton(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_PUSH_BUTTON) && isSaveButtonName(nameOf(element));
}

// KDE's name field: the shown editable text of a combo box (the path bar's is hidden).
bool isComboField(AtspiAccessible* element) {
    if (!isEditableText(element) || !isShown(element)) return false;
    AccessibleRef parent = parentOf(element);
    return parent && isRole(parent.get(), ATSPI_ROLE_COMBO_BOX);
}

}  // namespace

bool isSaveButtonName(std::string_view name) {
    return std::find(saveButtonNames.begin(), saveButtonNames.end(), name) != saveButtonNames.end();
}

AccessibleRef nameField(AtspiAccessible* dialog) {
    CallError error;
    for (auto& child : childrenOf(dialog, error)) {
        if (isEditableText(child.get()) && isShown(child.get())) return std::move(child);
    }
    return findBelow(dialog, comboFieldDepth, isComboField);
}

std::optional<Panel> dialogPanel(AtspiAccessible* window) {
    if (!isRole(window, ATSPI_ROLE_DIALOG) || !nameField(window) || !findBelow(window, fileViewDepth, isFileView))
        return std::nullopt;
    return findBelow(window, buttonDepth, isSaveButton) ? Panel::save : Panel::open;
}

bool showsFolder(AtspiAccessible* dialog, const std::string& folder) {
    CallError error;
    for (auto& child : childrenOf(dialog, error)) {
        if (isRole(child.get(), ATSPI_ROLE_COMBO_BOX) && nameOf(child.get()) == folder) return true;
    }
    return false;
}

}  // namespace companion::desktop::qt
