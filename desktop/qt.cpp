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

// KDE's name field: the shown editable text of a combo box (the path bar's is hidden).
bool isComboField(AtspiAccessible* element) {
    if (!isEditableText(element) || !isShown(element)) return false;
    AccessibleRef parent = parentOf(element);
    return parent && isRole(parent.get(), ATSPI_ROLE_COMBO_BOX);
}

// What one walk of a dialog found of a Qt file dialog's parts. The parts are asked for in one walk:
// Qt answers each call slowly, and separate searches would read the dialog's top three times.
struct Shape {
    bool nameField = false;
    bool fileView = false;
    bool saveButton = false;
};

void survey(AtspiAccessible* element, AtspiRole elementRole, int depth, Shape& shape) {
    CallError error;
    for (auto& child : childrenOf(element, error)) {
        if (!isShown(child.get())) continue;
        CallError roleError;
        const AtspiRole role = roleOf(child.get(), roleError);
        if (roleError) continue;
        const bool field = isTextRole(role) && (depth == 1 || (depth <= comboFieldDepth && elementRole == ATSPI_ROLE_COMBO_BOX));
        if (field && isEditable(child.get())) shape.nameField = true;
        if (depth <= buttonDepth && role == ATSPI_ROLE_PUSH_BUTTON && isSaveButtonName(nameOf(child.get())))
            shape.saveButton = true;
        if (isFileViewRole(role)) shape.fileView = true;
        if (depth < fileViewDepth && !isCollectionRole(role)) survey(child.get(), role, depth + 1, shape);
    }
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
    if (!isRole(window, ATSPI_ROLE_DIALOG)) return std::nullopt;
    Shape shape;
    survey(window, ATSPI_ROLE_DIALOG, 1, shape);
    if (!shape.nameField || !shape.fileView) return std::nullopt;
    return shape.saveButton ? Panel::save : Panel::open;
}

bool showsFolder(AtspiAccessible* dialog, const std::string& folder) {
    CallError error;
    for (auto& child : childrenOf(dialog, error)) {
        if (isRole(child.get(), ATSPI_ROLE_COMBO_BOX) && nameOf(child.get()) == folder) return true;
    }
    return false;
}

}  // namespace companion::desktop::qt
