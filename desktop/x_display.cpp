#include "desktop/x_display.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace companion::desktop {

namespace {

constexpr const char* pidProperty = "_NET_WM_PID";
constexpr const char* activeWindowProperty = "_NET_ACTIVE_WINDOW";
constexpr const char* windowManagerCheckProperty = "_NET_SUPPORTING_WM_CHECK";
constexpr const char* clientListProperty = "_NET_CLIENT_LIST_STACKING";
constexpr const char* windowTypeProperty = "_NET_WM_WINDOW_TYPE";
constexpr const char* dialogType = "_NET_WM_WINDOW_TYPE_DIALOG";
constexpr const char* utf8StringTarget = "UTF8_STRING";
constexpr const char* selectionProperty = "TAVRO_COMPANION_SELECTION";
// How long the field's application has to take the selection, and then to hand its text over.
constexpr auto selectionLimit = std::chrono::milliseconds(300);
constexpr auto selectionPoll = std::chrono::milliseconds(5);
constexpr long maxSelectionLength = 65536;
// A request for activation from a pager-like tool: window managers honour it over focus stealing.
constexpr long activationSourceTool = 2;
// Key symbols of characters beyond Latin-1 are the character's code with this bit.
constexpr unsigned long unicodeKeysymBase = 0x1000000;
constexpr unsigned long latin1End = 0x100;

// Xlib ends the process on a protocol error (a window that went away between two calls) unless
// told otherwise; such errors make the one call fail, nothing more.
int ignoreError(Display*, XErrorEvent*) { return 0; }
int ignoreIoError(Display*) { return 0; }

template <class T>
struct XFreeDeleter {
    void operator()(T* data) const {
        if (data) XFree(data);
    }
};

// The values of a 32-bit property (X hands them as longs), empty when absent.
std::vector<unsigned long> cardinals(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format, &count, &after,
                           &raw) != Success)
        return {};
    std::unique_ptr<unsigned char, XFreeDeleter<unsigned char>> owned(raw);
    if (!raw || format != 32) return {};
    auto* values = reinterpret_cast<unsigned long*>(raw);
    return {values, values + count};
}

}  // namespace

XDisplay::~XDisplay() {
    // A display whose server went away is left alone: closing it would talk to the server again.
    if (display_ && !lost_) XCloseDisplay(display_);
}

Display* XDisplay::display() {
    if (display_ && !lost_) return display_;
    display_ = nullptr;
    requestor_ = None;
    lost_ = false;
    Display* opened = XOpenDisplay(nullptr);
    if (!opened) return nullptr;
    XSetErrorHandler(ignoreError);
    XSetIOErrorHandler(ignoreIoError);
    XSetIOErrorExitHandler(
        opened, [](Display*, void* self) { static_cast<XDisplay*>(self)->lost(); }, this);
    display_ = opened;
    return display_;
}

// The server went away: the old connection is abandoned (it cannot be closed cleanly) and the next
// call tries a new one.
void XDisplay::lost() { lost_ = true; }

bool XDisplay::available() { return display() != nullptr; }

unsigned long XDisplay::atom(const char* name) { return XInternAtom(display_, name, False); }

bool XDisplay::hasWindowManager() {
    return !cardinals(display_, DefaultRootWindow(display_), atom(windowManagerCheckProperty), XA_WINDOW).empty();
}

std::optional<int32_t> XDisplay::pidOfWindow(Window window) {
    // The focus may be on a child of the application's top-level window; the pid is on the latter.
    while (window != None) {
        auto pid = cardinals(display_, window, atom(pidProperty), XA_CARDINAL);
        if (!pid.empty()) return static_cast<int32_t>(pid.front());
        Window root = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display_, window, &root, &parent, &children, &count)) return std::nullopt;
        if (children) XFree(children);
        if (parent == root) return std::nullopt;
        window = parent;
    }
    return std::nullopt;
}

std::optional<int32_t> XDisplay::focusedPid() {
    if (!display()) return std::nullopt;
    Window focused = None;
    if (hasWindowManager()) {
        auto active = cardinals(display_, DefaultRootWindow(display_), atom(activeWindowProperty), XA_WINDOW);
        if (!active.empty()) focused = active.front();
    } else {
        int revert = 0;
        XGetInputFocus(display_, &focused, &revert);
    }
    if (focused == None || focused == PointerRoot) return std::nullopt;
    auto pid = pidOfWindow(focused);
    return lost_ ? std::nullopt : pid;
}

// Bottom to top: the window manager's stacking list when there is one, else the root's children.
std::vector<Window> XDisplay::topLevelWindows() {
    const Window rootWindow = DefaultRootWindow(display_);
    if (hasWindowManager()) {
        auto clients = cardinals(display_, rootWindow, atom(clientListProperty), XA_WINDOW);
        return {clients.begin(), clients.end()};
    }
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, rootWindow, &root, &parent, &children, &count)) return {};
    std::vector<Window> windows(children, children + count);
    if (children) XFree(children);
    return windows;
}

bool XDisplay::activate(int32_t pid) {
    if (!display()) return false;
    // The process's viewable window that sits highest, a dialog before any other.
    Window chosen = None;
    bool chosenIsDialog = false;
    for (Window window : topLevelWindows()) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display_, window, &attributes) || attributes.map_state != IsViewable) continue;
        if (pidOfWindow(window) != pid) continue;
        auto types = cardinals(display_, window, atom(windowTypeProperty), XA_ATOM);
        Window owner = None;
        const bool dialog = XGetTransientForHint(display_, window, &owner) ||
                            std::find(types.begin(), types.end(), atom(dialogType)) != types.end();
        if (chosenIsDialog && !dialog) continue;
        chosen = window;
        chosenIsDialog = dialog;
    }
    if (chosen == None) return false;
    if (hasWindowManager()) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = chosen;
        event.xclient.message_type = atom(activeWindowProperty);
        event.xclient.format = 32;
        event.xclient.data.l[0] = activationSourceTool;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &event);
    } else {
        XRaiseWindow(display_, chosen);
        XSetInputFocus(display_, chosen, RevertToParent, CurrentTime);
    }
    XSync(display_, False);
    return !lost_;
}

double XDisplay::screenHeight() {
    if (!display()) return 0;
    return DisplayHeight(display_, DefaultScreen(display_));
}

void XDisplay::bell() {
    if (!display()) return;
    XBell(display_, 0);
    XFlush(display_);
}

bool XDisplay::pressKeycode(unsigned int keycode, bool shift, bool control) {
    const unsigned int shiftCode = XKeysymToKeycode(display_, XK_Shift_L);
    const unsigned int controlCode = XKeysymToKeycode(display_, XK_Control_L);
    if (control) XTestFakeKeyEvent(display_, controlCode, True, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
    XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, False, CurrentTime);
    if (control) XTestFakeKeyEvent(display_, controlCode, False, CurrentTime);
    XSync(display_, False);
    return !lost_;
}

bool XDisplay::pressKey(unsigned long keysym, bool control) {
    if (!display()) return false;
    const KeyCode keycode = XKeysymToKeycode(display_, keysym);
    if (keycode == 0) return false;
    return pressKeycode(keycode, false, control);
}

void XDisplay::typeCharacter(char32_t character) {
    const unsigned long keysym = character < latin1End ? character : unicodeKeysymBase | character;
    if (const KeyCode keycode = XKeysymToKeycode(display_, keysym)) {
        const bool shift = XkbKeycodeToKeysym(display_, keycode, 0, 0) != keysym;
        pressKeycode(keycode, shift, false);
        return;
    }
    // No key gives this character: lend it a key code that gives nothing, then take it back.
    int lowest = 0, highest = 0, perCode = 0;
    XDisplayKeycodes(display_, &lowest, &highest);
    std::unique_ptr<KeySym, XFreeDeleter<KeySym>> map(
        XGetKeyboardMapping(display_, static_cast<KeyCode>(lowest), highest - lowest + 1, &perCode));
    if (!map) return;
    for (int code = highest; code >= lowest; --code) {
        const KeySym* symbols = map.get() + (code - lowest) * perCode;
        if (std::any_of(symbols, symbols + perCode, [](KeySym s) { return s != NoSymbol; })) continue;
        KeySym bound[2] = {keysym, keysym};
        XChangeKeyboardMapping(display_, code, 2, bound, 1);
        XSync(display_, False);
        pressKeycode(static_cast<unsigned int>(code), false, false);
        KeySym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(display_, code, 2, none, 1);
        XSync(display_, False);
        return;
    }
}

void XDisplay::typeText(std::u32string_view text) {
    if (!display()) return;
    for (char32_t character : text) {
        if (lost_) return;
        typeCharacter(character);
    }
}

}  // namespace companion::desktop

namespace companion::desktop {

bool XDisplay::waitForOwnerOtherThan(Window window, unsigned long selection) {
    const auto deadline = std::chrono::steady_clock::now() + selectionLimit;
    while (std::chrono::steady_clock::now() < deadline && !lost_) {
        const Window owner = XGetSelectionOwner(display_, selection);
        if (owner != None && owner != window) return true;
        std::this_thread::sleep_for(selectionPoll);
    }
    return false;
}

std::optional<std::string> XDisplay::convertSelection(unsigned long selection) {
    const Atom property = atom(selectionProperty);
    XConvertSelection(display_, selection, atom(utf8StringTarget), property, requestor_, CurrentTime);
    XFlush(display_);
    const auto deadline = std::chrono::steady_clock::now() + selectionLimit;
    XEvent event{};
    while (!lost_) {
        while (XPending(display_)) {
            XNextEvent(display_, &event);
            if (event.type != SelectionNotify || event.xselection.requestor != requestor_) continue;
            if (event.xselection.property == None) return std::nullopt;
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* raw = nullptr;
            if (XGetWindowProperty(display_, requestor_, property, 0, maxSelectionLength, True, AnyPropertyType, &type,
                                   &format, &count, &after, &raw) != Success)
                return std::nullopt;
            std::unique_ptr<unsigned char, XFreeDeleter<unsigned char>> owned(raw);
            if (!raw || format != 8) return std::nullopt;
            return std::string(reinterpret_cast<char*>(raw), count);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd ready{ConnectionNumber(display_), POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(left.count()));
    }
    return std::nullopt;
}

std::optional<std::string> XDisplay::selectAllAndRead() {
    if (!display()) return std::nullopt;
    if (requestor_ == None)
        requestor_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    // Ours first, so that the text read is the one the field selects now, not an older selection;
    // and End before select-all, since a field that had all selected already would not take it
    // again.
    XSetSelectionOwner(display_, XA_PRIMARY, requestor_, CurrentTime);
    if (!pressKey(XK_End, false) || !pressKey(XK_a, true) || !waitForOwnerOtherThan(requestor_, XA_PRIMARY))
        return std::nullopt;
    return convertSelection(XA_PRIMARY);
}

}  // namespace companion::desktop
