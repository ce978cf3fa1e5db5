#pragma once
// What the plugin's parts share, behind one lock: the bus check, libatspi once it is safe to
// start, the element table and the X display. libatspi is neither thread-safe nor safe to start
// without its bus, so every call into it holds `mutex`.

#include <atspi/atspi.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "desktop/bus.h"
#include "desktop/element_table.h"
#include "desktop/toolkits.h"
#include "desktop/x_display.h"
#include "platform/accessibility/accessibility.h"

namespace companion::desktop {

class AtspiSession {
public:
    std::mutex mutex;
    XDisplay x;
    ElementTable elements;

    // Everything below: with `mutex` held.

    // Trusted: a display (an X server, or a Wayland compositor, where the dialogs are driven
    // through the bus alone), and the accessibility bus answering with its switch on.
    bool trusted();
    // No window system to ask who is in front or to take synthetic keys: a Wayland session.
    bool keyless() { return !x.available(); }
    // Without one, the program last brought forward counts as the one in front, and the field
    // shown in its dialog as the one with the focus (Wayland gives no client either).
    struct KeylessFront {
        int32_t pid;
        uint64_t field = 0;
    };
    std::optional<KeylessFront> keylessFront;
    std::optional<int32_t> frontPid();
    // Starts libatspi once its bus is known to answer; before that, nothing touches it.
    bool started();
    bool switchOn() { return bus_.switchOn(); }
    DBusConnection* sessionBus() { return bus_.session(); }

    // Applies what libatspi has heard since the last call, then bounds the next calls by the
    // element's messaging limit.
    void prepare(const accessibility::Element& element);
    std::vector<AccessibleRef> applications();
    // The application's object, with what libatspi remembered of its tree forgotten.
    AccessibleRef applicationOf(int32_t pid);
    AccessibleRef resolve(const accessibility::Element& element);
    // A handle for an object reached from `from`: same process, same messaging limit, so that a
    // slow application cannot hold a walk longer than its application element allows.
    accessibility::Element handle(const accessibility::Element& from, AtspiAccessible* accessible);
    // The object with the keyboard focus in the application's windows, the active one first.
    AccessibleRef focusedIn(AtspiAccessible* application);
    // What the window is as a file dialog, kept a moment for the steps of one navigation: each asks
    // again, and reading a GTK 4 dialog's shape takes tens of milliseconds. A window that is none
    // is not kept: a dialog still being built may become one.
    std::optional<FileDialog> navigatedDialog(AtspiAccessible* window);
    // Whether the assistant may move the window's chooser without answering its dialog: not an
    // embedded one that nothing moves, nor GTK 4's Select Folder dialog, which takes a confirmed
    // folder's path as its choice (telling it from an Open one reads much of it: kept as above).
    bool canBeMoved(AtspiAccessible* window, const FileDialog& dialog);
    // The focus as last found (or the field just filled): while it keeps the focus and no key has
    // been sent since, it is the focus. A key may move the focus while it is being handled, so
    // each key the assistant sends forgets it.
    void keepFocus(AtspiAccessible* element);
    void forgetFocus() { focus_.reset(); }

    // The file dialog the desktop portal shows on the process's behalf, with the portal back end's
    // process; none when it waits for none, or when the back end shows several and which one is
    // the process's cannot be told.
    struct PortalDialog {
        int32_t backEnd;
        AccessibleRef window;
    };
    std::optional<PortalDialog> portalDialogOf(int32_t pid);

private:
    BusCheck bus_;
    struct KnownDialog {
        FileDialog dialog;
        std::optional<bool> choosesFolders;
        std::chrono::steady_clock::time_point seen;
    };
    std::map<uint64_t, KnownDialog> knownDialogs_;  // by window element
    KnownDialog* knownDialog(uint64_t window);
    KnownDialog& keepDialog(uint64_t window, const FileDialog& dialog);
    // The navigation asks for the focus at several steps, and finding it walks every window of the
    // application.
    struct KeptFocus {
        AccessibleRef element;
        std::chrono::steady_clock::time_point when;
    };
    std::optional<KeptFocus> focus_;
    AccessibleRef keptFocus(AtspiAccessible* application);
    bool started_ = false;
    bool startFailed_ = false;
};

}  // namespace companion::desktop
