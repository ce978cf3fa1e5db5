#include "desktop/elements.h"

#include <climits>

#include "desktop/atspi_calls.h"
#include "desktop/file_managers.h"
#include "desktop/toolkits.h"

namespace companion::desktop {

namespace {

AttributeRead textRead(std::optional<std::string> text, Error absent) {
    if (!text) return {absent, {}};
    return {success, Value(std::move(*text))};
}

AttributeRead extent(AtspiAccessible* accessible, std::string_view attribute) {
    if (!componentOf(accessible)) return {attributeUnsupported, {}};
    CallError error;
    const auto extents = extentsOf(accessible, ATSPI_COORD_TYPE_SCREEN, error);
    if (!extents) return {error ? error.code() : noValue, {}};
    const AtspiRect& box = *extents;
    // A hidden element answers with the smallest coordinates there are.
    if (box.x == INT_MIN || box.y == INT_MIN) return {noValue, {}};
    if (attribute == attribute::position) return {success, Value(Point{double(box.x), double(box.y)})};
    return {success, Value(Size{double(box.width), double(box.height)})};
}

}  // namespace

AttributeRead Elements::read(const Element& element, std::string_view attribute) {
    if (!session_.started()) return {apiDisabled, {}};
    session_.prepare(element);
    if (element.pid == 0 && element.id == 0) return systemWideRead(attribute);
    AccessibleRef accessible = session_.resolve(element);
    if (!accessible) return {element.id == 0 ? cannotComplete : invalidElement, {}};
    return readOf(element, accessible.get(), attribute);
}

Error Elements::setValue(const Element& element, std::string_view attribute, const std::string& value,
                         std::optional<FilledField>& filled) {
    if (!session_.started()) return apiDisabled;
    if (attribute != attribute::value) return attributeUnsupported;
    session_.prepare(element);
    AccessibleRef accessible = session_.resolve(element);
    if (!accessible) return invalidElement;
    AccessibleRef editable = editableTextOf(accessible.get());
    if (!editable) return attributeUnsupported;
    // Asked before the path goes in: Qt's Save dialog renames its button once it holds a folder.
    AccessibleRef window = windowOf(accessible.get());
    const auto dialog = window ? session_.navigatedDialog(window.get()) : std::nullopt;
    const bool save = dialog && dialog->panel == Panel::save;
    // A Save dialog's name, to give back; GTK 4 gives no text on the bus, but selects it for X.
    std::string before = textOf(accessible.get()).value_or("");
    if (save && !textOf(accessible.get())) before = session_.x.selectAllAndRead().value_or("");
    CallError error;
    if (!atspi_editable_text_set_text_contents(ATSPI_EDITABLE_TEXT(editable.get()), value.c_str(), error.out()) ||
        error)
        return error ? error.code() : attributeUnsupported;
    const uint64_t dialogId = window ? session_.elements.idOf(window.get()) : 0;
    session_.keepFocus(accessible.get());
    // An embedded chooser's field gets back whatever it held: the chooser is moved otherwise.
    const bool embedded = dialog && dialog->embedded;
    filled = FilledField{element.id, dialogId, value, save || embedded ? before : std::string{}, !embedded};
    return success;
}

AttributeRead Elements::elementList(const Element& from, AtspiAccessible* accessible) {
    CallError error;
    auto children = childrenOf(accessible, error);
    if (error) return {error.code(), {}};
    std::vector<Element> list;
    for (auto& child : children) list.push_back(session_.handle(from, child.get()));
    return {success, Value(std::move(list))};
}

// The application's windows, and the dialog the desktop portal shows on its behalf: that one is
// the program's dialog to the user, though another process draws it.
AttributeRead Elements::windowList(const Element& app, AtspiAccessible* accessible) {
    AttributeRead read = elementList(app, accessible);
    auto* windows = read.value ? std::get_if<std::vector<Element>>(&*read.value) : nullptr;
    if (!windows) return read;
    if (auto portal = session_.portalDialogOf(app.pid)) windows->push_back(session_.handle(app, portal->window.get()));
    return read;
}

AttributeRead Elements::readOf(const Element& element, AtspiAccessible* accessible, std::string_view attribute) {
    if (attribute == attribute::role) {
        CallError error;
        const AtspiRole role = roleOf(accessible, error);
        if (error) return {error.code(), {}};
        return {success, Value(std::string(roleName(role)))};
    }
    if (attribute == attribute::children) return elementList(element, accessible);
    if (attribute == attribute::identifier) return identifier(accessible);
    if (attribute == attribute::description) {
        CallError error;
        std::string description = Owned::text(atspi_accessible_get_description(accessible, error.out()));
        if (error) return {error.code(), {}};
        return {success, Value(std::move(description))};
    }
    if (attribute == attribute::position || attribute == attribute::size) return extent(accessible, attribute);
    if (attribute == attribute::value) return textRead(textOf(accessible), attributeUnsupported);
    if (attribute == attribute::subrole) return {noValue, {}};
    if (element.id == 0) return applicationRead(element, accessible, attribute);
    if (attribute == attribute::document) return textRead(shownFolderUrl(accessible), noValue);
    return {attributeUnsupported, {}};
}

AttributeRead Elements::applicationRead(const Element& app, AtspiAccessible* accessible, std::string_view attribute) {
    if (attribute == attribute::windows) return windowList(app, accessible);
    if (attribute != attribute::focusedWindow) return {attributeUnsupported, {}};
    CallError error;
    for (auto& window : childrenOf(accessible, error)) {
        if (hasState(window.get(), ATSPI_STATE_ACTIVE)) return {success, Value(session_.handle(app, window.get()))};
    }
    return {error ? error.code() : noValue, {}};
}

// A file dialog's window is named by its panel identifier, and the field that takes a path in it
// by the go-to-folder field's (none in a chooser that cannot be moved: the field that had the
// focus is then no way there); every other element by its own identifier.
AttributeRead Elements::identifier(AtspiAccessible* accessible) {
    CallError error;
    const AtspiRole role = roleOf(accessible, error);
    if (error) return {error.code(), {}};
    if (isTextRole(role)) {
        AccessibleRef window = windowOf(accessible);
        const auto dialog = window ? session_.navigatedDialog(window.get()) : std::nullopt;
        if (dialog && session_.canBeMoved(window.get(), *dialog))
            return {success, Value(std::string(pathFieldIdentifier))};
    }
    AccessibleRef parent = parentOf(accessible);
    if (parent && roleOf(parent.get(), error) == ATSPI_ROLE_APPLICATION) {
        if (auto panel = panelOf(accessible)) return {success, Value(std::string(panelIdentifierOf(*panel)))};
    }
    std::string own = Owned::text(atspi_accessible_get_accessible_id(accessible, error.out()));
    if (own.empty()) return {noValue, {}};
    return {success, Value(std::move(own))};
}

AttributeRead Elements::systemWideRead(std::string_view attribute) {
    if (attribute != attribute::focusedElement) return {attributeUnsupported, {}};
    auto pid = session_.frontPid();
    if (!pid) return {noValue, {}};
    AccessibleRef app = session_.applicationOf(*pid);
    if (!app) return {cannotComplete, {}};
    // Without keys, only the field the plugin showed can take the path: another focused field of
    // the dialog (its search field) would take it as something else.
    if (session_.keyless()) {
        const uint64_t field = session_.keylessFront->field;
        if (!field || !session_.elements.find(field)) return {noValue, {}};
        return {success, Value(Element{*pid, field, std::nullopt})};
    }
    AccessibleRef focused = session_.focusedIn(app.get());
    if (!focused) return {noValue, {}};
    return {success, Value(Element{*pid, session_.elements.idOf(focused.get()), std::nullopt})};
}

}  // namespace companion::desktop
