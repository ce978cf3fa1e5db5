#include "platform/accessibility/linux/file_dialogs.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "platform/accessibility/linux/atspi_calls.h"

namespace companion::accessibility::linux_desktop {

namespace {

// GTK's Save dialog has its name field this near the top of the window; an Open dialog's location
// field, when shown, lies deeper, in the header above the file list.
constexpr int gtkNameFieldDepth = 5;
// Qt's file view lies this deep below its dialog.
constexpr int qtFileViewDepth = 6;
// The confirming button's text in a Qt Save dialog, in the languages we ship.
constexpr std::array<std::string_view, 2> qtSaveButtonNames = {"Save", "Enregistrer"};
constexpr int qtButtonDepth = 2;
// How deep a file manager's location bar may lie in its window.
constexpr int locationBarDepth = 10;
constexpr std::string_view fileUrlPrefix = "file://";
constexpr std::string_view urlSafeCharacters = "/-._~";

bool isRole(AtspiAccessible* accessible, AtspiRole role) {
    CallError error;
    return roleOf(accessible, error) == role && !error;
}

bool isEditableText(AtspiAccessible* accessible) {
    CallError error;
    const AtspiRole role = roleOf(accessible, error);
    return (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) && isEditable(accessible);
}

bool isFileView(AtspiAccessible* accessible) {
    CallError error;
    const AtspiRole role = roleOf(accessible, error);
    return role == ATSPI_ROLE_TREE || role == ATSPI_ROLE_TREE_TABLE || role == ATSPI_ROLE_TABLE ||
           role == ATSPI_ROLE_LIST;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string percentEncoded(std::string_view path) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        if (std::isalnum(c) || urlSafeCharacters.find(static_cast<char>(c)) != std::string_view::npos) {
            encoded.push_back(static_cast<char>(c));
            continue;
        }
        encoded += '%';
        encoded += hex[c >> 4];
        encoded += hex[c & 0xF];
    }
    return encoded;
}

}  // namespace

Toolkit toolkitOf(AtspiAccessible* application) {
    CallError error;
    const std::string name = lowercase(Owned::text(atspi_accessible_get_toolkit_name(application, error.out())));
    if (name.starts_with("gtk")) return Toolkit::gtk;
    if (name.starts_with("qt")) return Toolkit::qt;
    return Toolkit::other;
}

AccessibleRef qtNameField(AtspiAccessible* dialog) {
    CallError error;
    for (auto& child : childrenOf(dialog, error)) {
        if (isEditableText(child.get()) && hasState(child.get(), ATSPI_STATE_SHOWING)) return std::move(child);
    }
    return nullptr;
}

std::optional<std::string> panelIdentifier(AtspiAccessible* window) {
    if (isRole(window, ATSPI_ROLE_FILE_CHOOSER)) {
        const bool save = findBelow(window, gtkNameFieldDepth, isEditableText) != nullptr;
        return std::string(save ? savePanelIdentifier : openPanelIdentifier);
    }
    if (!isRole(window, ATSPI_ROLE_DIALOG) || !qtNameField(window) || !findBelow(window, qtFileViewDepth, isFileView))
        return std::nullopt;
    const bool save = findBelow(window, qtButtonDepth, [](AtspiAccessible* element) {
                          if (!isRole(element, ATSPI_ROLE_PUSH_BUTTON)) return false;
                          const std::string name = nameOf(element);
                          return std::find(qtSaveButtonNames.begin(), qtSaveButtonNames.end(), name) !=
                                 qtSaveButtonNames.end();
                      }) != nullptr;
    return std::string(save ? savePanelIdentifier : openPanelIdentifier);
}

AccessibleRef windowOf(AtspiAccessible* element) {
    AccessibleRef current(static_cast<AtspiAccessible*>(g_object_ref(element)));
    while (current) {
        AccessibleRef parent = parentOf(current.get());
        if (!parent) return nullptr;
        if (isRole(parent.get(), ATSPI_ROLE_APPLICATION)) return current;
        current = std::move(parent);
    }
    return nullptr;
}

bool showsFolder(AtspiAccessible* dialog, const std::string& folder) {
    CallError error;
    for (auto& child : childrenOf(dialog, error)) {
        if (isRole(child.get(), ATSPI_ROLE_COMBO_BOX) && nameOf(child.get()) == folder) return true;
    }
    return false;
}

std::optional<std::string> shownFolderUrl(AtspiAccessible* window) {
    std::optional<std::string> folder;
    findBelow(window, locationBarDepth, [&folder](AtspiAccessible* element) {
        if (!isEditableText(element)) return false;
        auto text = textOf(element);
        if (!text || !text->starts_with('/')) return false;
        folder = std::string(fileUrlPrefix) + percentEncoded(*text);
        return true;
    });
    return folder;
}

}  // namespace companion::accessibility::linux_desktop
