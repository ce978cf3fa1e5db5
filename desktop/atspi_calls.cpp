#include "desktop/atspi_calls.h"

#include <dbus/dbus.h>

#include <cstring>

#include "desktop/roles.h"
#include "desktop/toolkits.h"

namespace companion::desktop {

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

bool isShown(AtspiAccessible* accessible) {
    AtspiStateSet* states = atspi_accessible_get_state_set(accessible);
    if (!states) return false;
    const bool showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
    const bool visible = atspi_state_set_contains(states, ATSPI_STATE_VISIBLE);
    g_object_unref(states);
    if (showing || !visible) return showing;
    return isGtk4(accessible);
}

bool isGtk4(AtspiAccessible* accessible) { return applicationToolkit(accessible) == Toolkit::gtk4; }

std::optional<std::string> textOf(AtspiAccessible* accessible) {
    AccessibleRef text(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_text_iface(accessible)));
    if (!text) return std::nullopt;
    // GTK 4 answers an open end (-1) with an empty text: the end is asked for first.
    CallError countError, error;
    const int count = atspi_text_get_character_count(ATSPI_TEXT(text.get()), countError.out());
    if (countError) return std::nullopt;
    std::string contents = Owned::text(atspi_text_get_text(ATSPI_TEXT(text.get()), 0, count, error.out()));
    if (error || (contents.empty() && isGtk4(accessible))) return std::nullopt;
    return contents;
}

bool isEditable(AtspiAccessible* accessible) {
    return editableTextOf(accessible) && hasState(accessible, ATSPI_STATE_EDITABLE);
}

std::string nameOf(AtspiAccessible* accessible) {
    CallError error;
    return Owned::text(atspi_accessible_get_name(accessible, error.out()));
}

bool isRole(AtspiAccessible* accessible, AtspiRole role) {
    CallError error;
    return roleOf(accessible, error) == role && !error;
}

bool isEditableText(AtspiAccessible* accessible) {
    CallError error;
    return isTextRole(roleOf(accessible, error)) && !error && isEditable(accessible);
}

AccessibleRef editableTextOf(AtspiAccessible* accessible) {
    return AccessibleRef(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_editable_text_iface(accessible)));
}

AccessibleRef componentOf(AtspiAccessible* accessible) {
    return AccessibleRef(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_component_iface(accessible)));
}

std::optional<AtspiRect> extentsOf(AtspiAccessible* accessible, AtspiCoordType coordinates, CallError& error) {
    AccessibleRef component = componentOf(accessible);
    if (!component) return std::nullopt;
    AtspiRect* rect = atspi_component_get_extents(ATSPI_COMPONENT(component.get()), coordinates, error.out());
    if (!rect) return std::nullopt;
    const AtspiRect box = *rect;
    g_free(rect);
    if (error) return std::nullopt;
    return box;
}

bool doAction(AtspiAccessible* accessible, std::string_view name) {
    AccessibleRef action(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_action_iface(accessible)));
    if (!action) return false;
    CallError countError;
    const int count = atspi_action_get_n_actions(ATSPI_ACTION(action.get()), countError.out());
    for (int i = 0; i < count && !countError; ++i) {
        CallError nameError;
        if (Owned::text(atspi_action_get_action_name(ATSPI_ACTION(action.get()), i, nameError.out())) != name) continue;
        CallError doError;
        return atspi_action_do_action(ATSPI_ACTION(action.get()), i, doError.out()) && !doError;
    }
    return false;
}

}  // namespace companion::desktop
