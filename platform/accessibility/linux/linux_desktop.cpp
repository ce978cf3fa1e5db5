// The desktop plugin: the accessibility interface over the session's accessibility bus
// (libatspi), and keys, windows and the screen through the X server (Xlib, XTest).
//
// libatspi is neither thread-safe nor safe to start without its bus: every call holds one lock,
// and the bus is checked over plain D-Bus before libatspi is first started.

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <gio/gio.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/accessibility/desktop.h"
#include "platform/accessibility/linux/atspi_calls.h"
#include "platform/accessibility/linux/bus.h"
#include "platform/accessibility/linux/file_dialogs.h"
#include "platform/accessibility/linux/x_display.h"

namespace companion::accessibility::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;

// How long the trust check waits for each answer of the session and accessibility buses; the
// first check may start both on demand.
constexpr int busCheckTimeoutMs = 2000;
constexpr uint64_t goToFolderFlags = commandFlag | shiftFlag;
// After a Save dialog took a folder's path, how long to wait for it to move before giving its
// file name back, and how often to look.
constexpr auto folderChangeWait = std::chrono::milliseconds(800);
constexpr auto folderChangePoll = std::chrono::milliseconds(20);
// The file manager when the desktop names none for folders.
constexpr const char* fallbackFileManager = "pcmanfm";
constexpr const char* folderContentType = "inode/directory";
constexpr const char* processFolder = "/proc";
constexpr const char* executableLink = "exe";
constexpr int millisecondsPerSecond = 1000;

constexpr std::string_view roleAttribute = attribute::role;
constexpr std::string_view subroleAttribute = attribute::subrole;
constexpr std::string_view identifierAttribute = attribute::identifier;
constexpr std::string_view descriptionAttribute = attribute::description;
constexpr std::string_view childrenAttribute = attribute::children;
constexpr std::string_view windowsAttribute = attribute::windows;
constexpr std::string_view focusedWindowAttribute = attribute::focusedWindow;
constexpr std::string_view positionAttribute = attribute::position;
constexpr std::string_view sizeAttribute = attribute::size;
constexpr std::string_view documentAttribute = attribute::document;
constexpr std::string_view focusedElementAttribute = attribute::focusedElement;
constexpr std::string_view valueAttribute = attribute::value;

std::string roleName(AtspiRole role) {
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

std::u32string utf32(const std::u16string& units) {
    std::u32string text;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t unit = units[i];
        const bool pair = unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                          units[i + 1] < 0xE000;
        if (pair) unit = 0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00);
        text.push_back(unit);
    }
    return text;
}

// Characters, not bytes: the text interface counts offsets in characters.
long characterCount(std::string_view utf8) {
    return g_utf8_strlen(utf8.data(), static_cast<gssize>(utf8.size()));
}

std::string executableName(int32_t pid) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(std::filesystem::path(processFolder) / std::to_string(pid) /
                                                    executableLink, error);
    return error ? std::string{} : target.filename().string();
}

// The program the desktop opens folders with (its desktop entry's executable).
std::string fileManagerProgram() {
    GAppInfo* handler = g_app_info_get_default_for_type(folderContentType, FALSE);
    if (!handler) return fallbackFileManager;
    const char* executable = g_app_info_get_executable(handler);
    std::string program = executable ? std::filesystem::path(executable).filename().string() : "";
    g_object_unref(handler);
    return program.empty() ? fallbackFileManager : program;
}

// A field the assistant has just filled, until the path in it is confirmed.
struct FilledField {
    uint64_t id = 0;
    std::string path;
    // A Save dialog's file name, to give back once the dialog has moved to the folder.
    std::string fileName;
};

class LinuxDesktop final : public Desktop, public Accessibility {
public:
    ~LinuxDesktop() override = default;

    Accessibility& accessibility() override { return *this; }

    // ---- the accessibility interface ----

    // The prompt is ignored: turning the switch on is a lasting change of the user's desktop that
    // only the user's own act (the setup window's button) may make.
    bool isProcessTrusted(bool) override {
        std::lock_guard lock(mutex_);
        return trustedLocked();
    }
    Element applicationElement(int32_t pid) override { return Element{pid, 0, std::nullopt}; }
    Element systemWideElement() override { return Element{}; }

    AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override {
        std::lock_guard lock(mutex_);
        if (!startedLocked()) return {apiDisabled, {}};
        setTimeout(element);
        if (element.pid == 0 && element.id == 0) return systemWideRead(attribute);
        AccessibleRef accessible = resolve(element);
        if (!accessible) return {element.id == 0 ? cannotComplete : invalidElement, {}};
        return read(element, accessible.get(), attribute);
    }

    Error setAttributeValue(const Element& element, std::string_view attribute, const std::string& value) override {
        std::lock_guard lock(mutex_);
        if (!startedLocked()) return apiDisabled;
        if (attribute != valueAttribute) return attributeUnsupported;
        setTimeout(element);
        AccessibleRef accessible = resolve(element);
        if (!accessible) return invalidElement;
        AccessibleRef editable(
            reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_editable_text_iface(accessible.get())));
        if (!editable) return attributeUnsupported;
        const std::string before = textOf(accessible.get()).value_or("");
        // Asked before the path goes in: Qt's Save dialog renames its button once it holds a folder.
        AccessibleRef window = windowOf(accessible.get());
        const bool save = window && panelIdentifier(window.get()) == savePanelIdentifier;
        CallError error;
        if (!atspi_editable_text_set_text_contents(ATSPI_EDITABLE_TEXT(editable.get()), value.c_str(), error.out()) ||
            error)
            return error ? error.code() : attributeUnsupported;
        filled_ = FilledField{element.id, value, save ? before : std::string{}};
        return success;
    }

    void postKeyboardEvent(const KeyboardEvent& event) override {
        // A press is a whole key stroke here: its key-up half has nothing left to do.
        if (!event.keyDown) return;
        std::lock_guard lock(mutex_);
        if (!x_.available()) return;
        if (!event.unicodeString.empty()) return x_.typeText(utf32(event.unicodeString));
        const uint64_t flags = event.flags.value_or(0);
        if (event.keyCode == gKeyCode && flags == goToFolderFlags) return openGoToFolder();
        if (event.keyCode == aKeyCode && flags == commandFlag) return void(x_.pressKey(XK_a, true));
        if (event.keyCode == returnKeyCode) return confirm();
    }

    double mainDisplayHeight() override {
        std::lock_guard lock(mutex_);
        return x_.screenHeight();
    }

    // ---- the window system ----

    std::optional<int32_t> frontmostPid() override {
        std::lock_guard lock(mutex_);
        return x_.focusedPid();
    }
    bool activate(int32_t pid) override {
        std::lock_guard lock(mutex_);
        return x_.activate(pid);
    }
    void beep() override {
        std::lock_guard lock(mutex_);
        x_.bell();
    }
    std::vector<int32_t> fileManagerPids() override {
        std::lock_guard lock(mutex_);
        if (!trustedLocked() || !startedLocked()) return {};
        // Only those on this session's bus: the same program may run for other sessions.
        const std::string program = fileManagerProgram();
        std::vector<int32_t> pids;
        for (auto& app : applications()) {
            CallError error;
            const auto pid = static_cast<int32_t>(atspi_accessible_get_process_id(app.get(), error.out()));
            if (!error && executableName(pid) == program) pids.push_back(pid);
        }
        return pids;
    }
    bool switchOnAssistiveTechnologies() override {
        std::lock_guard lock(mutex_);
        return switchOn(busCheckTimeoutMs);
    }

private:
    bool trustedLocked() {
        return x_.available() && accessibilityBusState(busCheckTimeoutMs) == BusState::ready;
    }

    // Starts libatspi once its bus is known to answer; before that, nothing touches it.
    bool startedLocked() {
        if (started_) return true;
        if (accessibilityBusState(busCheckTimeoutMs) == BusState::absent) return false;
        // libatspi borrows the shared session connection, which by default ends the process when
        // the bus goes away; it must only fail the calls.
        DBusError error;
        dbus_error_init(&error);
        if (DBusConnection* session = dbus_bus_get(DBUS_BUS_SESSION, &error)) {
            dbus_connection_set_exit_on_disconnect(session, FALSE);
            sessionBus_ = session;
        }
        dbus_error_free(&error);
        if (!sessionBus_) return false;
        atspi_init();
        started_ = true;
        return true;
    }

    // Applies what libatspi has heard since the last call (applications come and go, trees
    // change), then bounds the next calls by the element's messaging limit.
    void setTimeout(const Element& element) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        const double seconds = element.messagingTimeout.value_or(defaultMessagingTimeout);
        atspi_set_timeout(static_cast<int>(seconds * millisecondsPerSecond), -1);
    }

    std::vector<AccessibleRef> applications() {
        AccessibleRef desktop(atspi_get_desktop(0));
        if (!desktop) return {};
        atspi_accessible_clear_cache(desktop.get());
        CallError error;
        return childrenOf(desktop.get(), error);
    }

    AccessibleRef applicationOf(int32_t pid) {
        for (auto& app : applications()) {
            CallError error;
            if (static_cast<int32_t>(atspi_accessible_get_process_id(app.get(), error.out())) != pid || error) continue;
            // What libatspi remembers of the application is forgotten at each request's start: what
            // it shows changes under our feet. Its cache stays on, though: without one, libatspi's
            // own event handling calls back into the bus from inside a dispatch and deadlocks.
            atspi_accessible_clear_cache(app.get());
            return std::move(app);
        }
        return nullptr;
    }

    AccessibleRef resolve(const Element& element) {
        if (element.id == 0) return applicationOf(element.pid);
        AtspiAccessible* known = elements_.find(element.id);
        return known ? AccessibleRef(static_cast<AtspiAccessible*>(g_object_ref(known))) : nullptr;
    }

    // A handle for an element reached from `from`: same process, and the same messaging limit, so
    // that a slow application cannot hold a walk longer than its application element allows.
    Element handle(const Element& from, AtspiAccessible* accessible) {
        return Element{from.pid, elements_.idOf(accessible), from.messagingTimeout};
    }

    AttributeRead elementList(const Element& from, AtspiAccessible* accessible) {
        CallError error;
        auto children = childrenOf(accessible, error);
        if (error) return {error.code(), {}};
        std::vector<Element> list;
        for (auto& child : children) list.push_back(handle(from, child.get()));
        return {success, Value(std::move(list))};
    }

    AttributeRead read(const Element& element, AtspiAccessible* accessible, std::string_view attribute) {
        if (attribute == roleAttribute) {
            CallError error;
            const AtspiRole role = roleOf(accessible, error);
            if (error) return {error.code(), {}};
            return {success, Value(roleName(role))};
        }
        if (attribute == childrenAttribute) return elementList(element, accessible);
        if (attribute == identifierAttribute) return identifier(accessible);
        if (attribute == descriptionAttribute) {
            CallError error;
            std::string description = Owned::text(atspi_accessible_get_description(accessible, error.out()));
            if (error) return {error.code(), {}};
            return {success, Value(std::move(description))};
        }
        if (attribute == positionAttribute || attribute == sizeAttribute) return extent(accessible, attribute);
        if (attribute == valueAttribute) {
            auto text = textOf(accessible);
            if (!text) return {attributeUnsupported, {}};
            return {success, Value(std::move(*text))};
        }
        if (attribute == subroleAttribute) return {noValue, {}};
        if (element.id == 0) return applicationRead(element, accessible, attribute);
        if (attribute == documentAttribute) {
            auto url = shownFolderUrl(accessible);
            if (!url) return {noValue, {}};
            return {success, Value(std::move(*url))};
        }
        return {attributeUnsupported, {}};
    }

    AttributeRead applicationRead(const Element& app, AtspiAccessible* accessible, std::string_view attribute) {
        if (attribute == windowsAttribute) return elementList(app, accessible);
        if (attribute != focusedWindowAttribute) return {attributeUnsupported, {}};
        CallError error;
        for (auto& window : childrenOf(accessible, error)) {
            if (hasState(window.get(), ATSPI_STATE_ACTIVE)) return {success, Value(handle(app, window.get()))};
        }
        return {error ? error.code() : noValue, {}};
    }

    // A file dialog's window is named by its panel identifier, and the field that takes a path
    // in it by the go-to-folder field's; every other element by its own identifier.
    AttributeRead identifier(AtspiAccessible* accessible) {
        CallError error;
        const AtspiRole role = roleOf(accessible, error);
        if (error) return {error.code(), {}};
        if (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) {
            AccessibleRef window = windowOf(accessible);
            if (window && panelIdentifier(window.get())) return {success, Value(std::string(pathFieldIdentifier))};
        }
        AccessibleRef parent = parentOf(accessible);
        if (parent && roleOf(parent.get(), error) == ATSPI_ROLE_APPLICATION) {
            if (auto panel = panelIdentifier(accessible)) return {success, Value(std::move(*panel))};
        }
        std::string own = Owned::text(atspi_accessible_get_accessible_id(accessible, error.out()));
        if (own.empty()) return {noValue, {}};
        return {success, Value(std::move(own))};
    }

    AttributeRead extent(AtspiAccessible* accessible, std::string_view attribute) {
        AccessibleRef component(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_component_iface(accessible)));
        if (!component) return {attributeUnsupported, {}};
        CallError error;
        AtspiRect* rect = atspi_component_get_extents(ATSPI_COMPONENT(component.get()), ATSPI_COORD_TYPE_SCREEN,
                                                      error.out());
        if (error || !rect) return {error ? error.code() : noValue, {}};
        const AtspiRect box = *rect;
        g_free(rect);
        // A hidden element answers with the smallest coordinates there are.
        if (box.x == INT_MIN || box.y == INT_MIN) return {noValue, {}};
        if (attribute == positionAttribute) return {success, Value(Point{double(box.x), double(box.y)})};
        return {success, Value(Size{double(box.width), double(box.height)})};
    }

    // ---- the focus ----

    AttributeRead systemWideRead(std::string_view attribute) {
        if (attribute != focusedElementAttribute) return {attributeUnsupported, {}};
        auto pid = x_.focusedPid();
        if (!pid) return {noValue, {}};
        AccessibleRef app = applicationOf(*pid);
        if (!app) return {cannotComplete, {}};
        AccessibleRef focused = focusedIn(app.get());
        if (!focused) return {noValue, {}};
        const Element system = systemWideElement();
        return {success, Value(Element{*pid, elements_.idOf(focused.get()), system.messagingTimeout})};
    }

    AccessibleRef focusedIn(AtspiAccessible* app) {
        CallError error;
        auto windows = childrenOf(app, error);
        // The active window first; without a window manager none may say it is active.
        std::stable_partition(windows.begin(), windows.end(),
                              [](const AccessibleRef& w) { return hasState(w.get(), ATSPI_STATE_ACTIVE); });
        for (auto& window : windows) {
            if (!hasState(window.get(), ATSPI_STATE_SHOWING)) continue;
            if (auto found = findBelow(window.get(), INT_MAX, [](AtspiAccessible* element) {
                    return hasState(element, ATSPI_STATE_FOCUSED);
                }))
                return found;
        }
        return nullptr;
    }

    // ---- the go-to-folder presses ----

    // GTK opens its location field with Control-L (in a Save dialog: its name field, which takes a
    // path as well); a Qt dialog's name field takes a path, so it only needs the focus.
    void openGoToFolder() {
        auto pid = x_.focusedPid();
        AccessibleRef app = pid ? applicationOf(*pid) : nullptr;
        if (app && toolkitOf(app.get()) == Toolkit::qt) return focusQtNameField(app.get());
        x_.pressKey(XK_l, true);
    }

    void focusQtNameField(AtspiAccessible* app) {
        CallError error;
        for (auto& window : childrenOf(app, error)) {
            if (!hasState(window.get(), ATSPI_STATE_SHOWING) || !panelIdentifier(window.get())) continue;
            AccessibleRef field = qtNameField(window.get());
            AccessibleRef component(
                field ? reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_component_iface(field.get())) : nullptr);
            if (!component) continue;
            CallError focusError;
            atspi_component_grab_focus(ATSPI_COMPONENT(component.get()), focusError.out());
            return;
        }
    }

    // Return, after taking back what GTK completed on its own; then a Save dialog gets its file
    // name back once it has moved.
    void confirm() {
        std::optional<FilledField> filled = std::exchange(filled_, std::nullopt);
        AtspiAccessible* field = filled ? elements_.find(filled->id) : nullptr;
        if (field) dropCompletion(field, filled->path);
        x_.pressKey(XK_Return, false);
        if (field && !filled->fileName.empty()) giveNameBack(field, *filled);
    }

    // GTK's location field completes a folder holding one entry inline: Return would open that
    // entry instead of the folder.
    void dropCompletion(AtspiAccessible* field, const std::string& path) {
        auto text = textOf(field);
        if (!text || *text == path || !text->starts_with(path)) return;
        AccessibleRef editable(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_editable_text_iface(field)));
        if (!editable) return;
        CallError error;
        atspi_editable_text_delete_text(ATSPI_EDITABLE_TEXT(editable.get()), characterCount(path),
                                        characterCount(*text), error.out());
    }

    // Only once the dialog has moved: a name given back before Return is handled would be saved
    // in the old folder. GTK empties the field when it moves; Qt keeps the path there, but its
    // folder list then names the new folder.
    void giveNameBack(AtspiAccessible* field, const FilledField& filled) {
        AccessibleRef window = windowOf(field);
        const auto moved = [&] { return textOf(field) != filled.path || (window && showsFolder(window.get(), filled.path)); };
        const auto deadline = Clock::now() + folderChangeWait;
        while (Clock::now() < deadline && !moved()) std::this_thread::sleep_for(folderChangePoll);
        AccessibleRef editable(reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_editable_text_iface(field)));
        if (!editable) return;
        CallError error;
        atspi_editable_text_set_text_contents(ATSPI_EDITABLE_TEXT(editable.get()), filled.fileName.c_str(),
                                              error.out());
    }

    std::mutex mutex_;
    bool started_ = false;
    DBusConnection* sessionBus_ = nullptr;  // held for the process's life, as libatspi holds it
    XDisplay x_;
    ElementTable elements_;
    std::optional<FilledField> filled_;
};

}  // namespace

}  // namespace companion::accessibility::linux_desktop

extern "C" __attribute__((visibility("default"))) void companionCreateDesktop(
    std::unique_ptr<companion::accessibility::Desktop>* out) {
    *out = std::make_unique<companion::accessibility::linux_desktop::LinuxDesktop>();
}
