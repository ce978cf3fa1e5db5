#include "platform/accessibility/linux/atspi_calls.h"

#include <dbus/dbus.h>

#include <cstring>

namespace companion::accessibility::linux_desktop {

Error CallError::code() const {
    if (!error_) return success;
    // An object the application no longer knows: the element is gone. Anything else (no reply in
    // time, the application gone from the bus) is an application that cannot answer.
    const char* message = error_->message ? error_->message : "";
    if (std::strstr(message, "UnknownObject") || std::strstr(message, "Unknown object")) return invalidElement;
    return cannotComplete;
}

std::string Owned::text(gchar* value) {
    if (!value) return {};
    std::string copy(value);
    g_free(value);
    return copy;
}

AtspiRole roleOf(AtspiAccessible* accessible, CallError& error) {
    return atspi_accessible_get_role(accessible, error.out());
}

std::vector<AccessibleRef> childrenOf(AtspiAccessible* accessible, CallError& error) {
    std::vector<AccessibleRef> children;
    const gint count = atspi_accessible_get_child_count(accessible, error.out());
    if (error) return children;
    for (gint i = 0; i < count; ++i) {
        CallError childError;
        AccessibleRef child(atspi_accessible_get_child_at_index(accessible, i, childError.out()));
        if (child) children.push_back(std::move(child));
    }
    return children;
}

AccessibleRef parentOf(AtspiAccessible* accessible) {
    CallError error;
    return AccessibleRef(atspi_accessible_get_parent(accessible, error.out()));
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(accessible);
    if (!states) return false;
    const bool present = atspi_state_set_contains(states, state);
    g_object_unref(states);
    return present;
}

std::optional<std::string> textOf(AtspiAccessible* accessible) {
    AccessibleRef text(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_text_iface(accessible)));
    if (!text) return std::nullopt;
    CallError error;
    std::string contents = Owned::text(atspi_text_get_text(ATSPI_TEXT(text.get()), 0, -1, error.out()));
    if (error) return std::nullopt;
    return contents;
}

bool isEditable(AtspiAccessible* accessible) {
    AccessibleRef editable(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_editable_text_iface(accessible)));
    return editable && hasState(accessible, ATSPI_STATE_EDITABLE);
}

std::string nameOf(AtspiAccessible* accessible) {
    CallError error;
    return Owned::text(atspi_accessible_get_name(accessible, error.out()));
}

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

}  // namespace companion::accessibility::linux_desktop
