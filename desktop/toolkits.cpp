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

std::optional<FileDialog> gtk3Dialog(AtspiAccessible* window) {
    if (auto panel = gtk3::chooserPanel(window)) return FileDialog{*panel, Toolkit::gtk3};
    // An embedded Open chooser takes a path only in its location field, and while that is shown
    // its path bar, the walk's way up, is gone from the bus (and only Escape, which the program's
    // own dialog takes as Cancel, brings it back).
    AccessibleRef chooser = gtk3::embeddedChooser(window);
    if (!chooser) return std::nullopt;
    const Panel panel = *gtk3::chooserPanel(chooser.get());
    return FileDialog{panel, Toolkit::gtk3, true, panel == Panel::save};
}

std::optional<FileDialog> qtDialog(AtspiAccessible* window) {
    if (auto panel = qt::dialogPanel(window)) return FileDialog{*panel, Toolkit::qt};
    return std::nullopt;
}

// GTK 4's own dialog and a program's dialog holding the chooser have one shape: only a window that
// is no dialog is known to be a program's own.
std::optional<FileDialog> gtk4Dialog(AtspiAccessible* window) {
    auto panel = gtk4::chooserPanel(window);
    if (!panel) return std::nullopt;
    const bool embedded = !isRole(window, ATSPI_ROLE_DIALOG);
    return FileDialog{*panel, Toolkit::gtk4, embedded, !embedded};
}

}  // namespace

Toolkit toolkitNamed(std::string_view name, std::string_view version) {
    const std::string lower = lowercase(name);
    if (lower.starts_with(qtName)) return Toolkit::qt;
    if (!lower.starts_with(gtkName)) return Toolkit::other;
    return version.starts_with(gtk4Major) ? Toolkit::gtk4 : Toolkit::gtk3;
}

Toolkit applicationToolkit(AtspiAccessible* element) {
    // Asked of the application's own object: GTK 4 answers there only, and libatspi then keeps
    // the answer for every object of the application.
    AtspiApplication* app = element->parent.app;
    return toolkitOf(app && app->root ? app->root : element);
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

// Each toolkit's shapes are looked for in its own windows only: every look walks much of a window.
std::optional<FileDialog> fileDialogOf(AtspiAccessible* window) {
    switch (applicationToolkit(window)) {
        case Toolkit::gtk3: return gtk3Dialog(window);
        case Toolkit::gtk4: return gtk4Dialog(window);
        case Toolkit::qt: return qtDialog(window);
        case Toolkit::other: break;
    }
    if (auto dialog = gtk3Dialog(window)) return dialog;
    if (auto dialog = qtDialog(window)) return dialog;
    return gtk4Dialog(window);
}

std::optional<Panel> panelOf(AtspiAccessible* window) {
    auto dialog = fileDialogOf(window);
    if (!dialog) return std::nullopt;
    return dialog->panel;
}

bool mayChooseFolders(const FileDialog& dialog) {
    return dialog.toolkit == Toolkit::gtk4 && dialog.panel == Panel::open;
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
