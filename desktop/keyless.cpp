#include "desktop/keyless.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "desktop/atspi_calls.h"
#include "desktop/gtk3.h"
#include "desktop/portal.h"
#include "desktop/qt.h"
#include "desktop/toolkits.h"

namespace companion::desktop::keyless {

namespace {

constexpr std::string_view showLocationAction = "show_location";
constexpr std::string_view activateAction = "activate";
constexpr std::string_view clickAction = "click";
constexpr std::string_view pressAction = "Press";
constexpr std::string_view defaultActivateAction = "default.activate";
// GTK 3's chooser widget lies this deep in its dialog; its name field and its location field.
constexpr int chooserWidgetDepth = 4;
constexpr int nameFieldDepth = 6;
constexpr int locationFieldDepth = 25;
// The location field is made on show_location; how long to look for it, and how often.
constexpr auto fieldWait = std::chrono::milliseconds(1000);
constexpr auto fieldPoll = std::chrono::milliseconds(20);

bool isShownField(AtspiAccessible* element) { return isEditableText(element) && isShown(element); }

bool showsLocation(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_FILE_CHOOSER) && doAction(element, showLocationAction);
}

// The chooser of a dialog lies below the dialog; a chooser embedded in a program's window is asked
// itself.
AccessibleRef gtk3LocationField(AtspiAccessible* chooser) {
    if (!showsLocation(chooser) && !findBelow(chooser, chooserWidgetDepth, showsLocation)) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + fieldWait;
    for (;;) {
        if (AccessibleRef field = findBelow(chooser, locationFieldDepth, isShownField)) return field;
        if (std::chrono::steady_clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(fieldPoll);
    }
}

int32_t processOf(AtspiAccessible* element) {
    CallError error;
    const auto pid = static_cast<int32_t>(atspi_accessible_get_process_id(element, error.out()));
    return error ? 0 : pid;
}

// Qt puts its confirming button first in the dialog's last panel, whatever it is labelled.
AccessibleRef qtAcceptButton(AtspiAccessible* dialog) {
    CallError error;
    AccessibleRef panel;
    for (auto& child : childrenOf(dialog, error)) {
        if (isRole(child.get(), ATSPI_ROLE_PANEL)) panel = std::move(child);
    }
    if (!panel) return nullptr;
    auto buttons = childrenOf(panel.get(), error);
    if (buttons.empty() || !isRole(buttons.front().get(), ATSPI_ROLE_PUSH_BUTTON)) return nullptr;
    return std::move(buttons.front());
}

}  // namespace

AccessibleRef revealPathField(AtspiAccessible* dialog, const FileDialog& kind) {
    if (!kind.navigable) return nullptr;
    switch (kind.toolkit) {
        case Toolkit::gtk3: {
            AccessibleRef embedded = kind.embedded ? gtk3::embeddedChooser(dialog) : nullptr;
            AtspiAccessible* chooser = embedded ? embedded.get() : dialog;
            // show_location in a Save chooser would empty its name field, which takes a path too.
            if (kind.panel == Panel::save) return findBelow(chooser, nameFieldDepth, isShownField);
            return gtk3LocationField(chooser);
        }
        case Toolkit::qt: return qt::nameField(dialog);
        // GTK 4's Open and Select Folder dialogs show their location field only on a key.
        case Toolkit::gtk4: return kind.panel == Panel::save ? findBelow(dialog, nameFieldDepth, isShownField) : nullptr;
        case Toolkit::other: return nullptr;
    }
    return nullptr;
}

bool confirmPortalDialog(AtspiAccessible* dialog) {
    if (!dialog || !isPortalBackEnd(processOf(dialog))) return false;
    AccessibleRef accept = gtk3::acceptButton(dialog);
    return accept && doAction(accept.get(), clickAction);
}

bool confirmPath(AtspiAccessible* dialog, const FileDialog& kind, AtspiAccessible* field) {
    if (!dialog || !field) return false;
    if (confirmPortalDialog(dialog)) return true;
    switch (kind.toolkit) {
        case Toolkit::gtk3: return doAction(field, activateAction);
        case Toolkit::qt: {
            AccessibleRef accept = qtAcceptButton(dialog);
            return accept && doAction(accept.get(), pressAction);
        }
        // GTK 4's fields ignore their own activate action; the dialog's default response takes
        // the path. Only in Save: in an Open chooser it would accept whatever file is selected.
        case Toolkit::gtk4: return kind.panel == Panel::save && doAction(dialog, defaultActivateAction);
        case Toolkit::other: return false;
    }
    return false;
}

}  // namespace companion::desktop::keyless
