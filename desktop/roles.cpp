#include "desktop/roles.h"

namespace companion::desktop {

std::string_view roleName(AtspiRole role) {
    switch (role) {
        case ATSPI_ROLE_APPLICATION: return "AXApplication";
        case ATSPI_ROLE_FRAME:
        case ATSPI_ROLE_WINDOW:
        case ATSPI_ROLE_DIALOG:
        case ATSPI_ROLE_FILE_CHOOSER: return "AXWindow";
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_PASSWORD_TEXT: return "AXTextField";
        case ATSPI_ROLE_COMBO_BOX: return "AXComboBox";
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON: return "AXButton";
        case ATSPI_ROLE_TREE:
        case ATSPI_ROLE_TREE_TABLE: return "AXOutline";
        case ATSPI_ROLE_TABLE: return "AXTable";
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX: return "AXList";
        case ATSPI_ROLE_LABEL: return "AXStaticText";
        default: return "AXGroup";
    }
}

bool isTextRole(AtspiRole role) { return role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY; }

bool isCollectionRole(AtspiRole role) {
    switch (role) {
        case ATSPI_ROLE_TABLE:
        case ATSPI_ROLE_TREE_TABLE:
        case ATSPI_ROLE_TREE:
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX:
        case ATSPI_ROLE_MENU_BAR:
        case ATSPI_ROLE_MENU:
            return true;
        default:
            return false;
    }
}

bool isFileViewRole(AtspiRole role) {
    return role == ATSPI_ROLE_TREE || role == ATSPI_ROLE_TREE_TABLE || role == ATSPI_ROLE_TABLE ||
           role == ATSPI_ROLE_LIST;
}

}  // namespace companion::desktop
