#include "desktop/toolkits.h"

#include <algorithm>
#include <cctype>

#include "desktop/atspi_calls.h"
#include "desktop/gtk3.h"
#include "desktop/gtk4.h"
#include "desktop/qt.h"

namespace companion::desktop {

namespace {

constexpr std::string_view gtkName = "gtk";
constexpr std::string_view qtName = "qt";
constexpr char gtk4Major = '4';

std::string lowercase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

}  // namespace

Toolkit toolkitNamed(std::string_view name, std::string_view version) {
    const std::string lower = lowercase(name);
    if (lower.starts_with(qtName)) return Toolkit::qt;
    if (!lower.starts_with(gtkName)) return Toolkit::other;
    return version.starts_with(gtk4Major) ? Toolkit::gtk4 : Toolkit::gtk3;
}

Toolkit toolkitOf(AtspiAccessible* application) {
    CallError nameError, versionError;
    const std::string name = Owned::text(atspi_accessible_get_toolkit_name(application, nameError.out()));
    const std::string version = Owned::text(atspi_accessible_get_toolkit_version(application, versionError.out()));
    return toolkitNamed(name, version);
}

std::string_view panelIdentifierOf(Panel panel) {
    return panel == Panel::save ? savePanelIdentifier : openPanelIdentifier;
}

std::optional<FileDialog> fileDialogOf(AtspiAccessible* window) {
    if (auto panel = gtk3::chooserPanel(window)) return FileDialog{*panel};
    if (auto panel = qt::dialogPanel(window)) return FileDialog{*panel};
    // An embedded Open chooser takes a path only in its location field, and while that is shown
    // its path bar, the walk's way up, is gone from the bus (and only Escape, which the program's
    // own dialog takes as Cancel, brings it back).
    if (AccessibleRef chooser = gtk3::embeddedChooser(window)) {
        const Panel panel = *gtk3::chooserPanel(chooser.get());
        return FileDialog{panel, true, panel == Panel::save};
    }
    // GTK 4's own dialog and a program's dialog holding the chooser have one shape: only a window
    // that is no dialog is known to be a program's own.
    if (auto panel = gtk4::chooserPanel(window)) {
        const bool embedded = !isRole(window, ATSPI_ROLE_DIALOG);
        return FileDialog{*panel, embedded, !embedded && !gtk4::choosesFolders(window)};
    }
    return std::nullopt;
}

std::optional<Panel> panelOf(AtspiAccessible* window) {
    auto dialog = fileDialogOf(window);
    if (!dialog) return std::nullopt;
    return dialog->panel;
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

}  // namespace companion::desktop
