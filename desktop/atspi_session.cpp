#include "desktop/atspi_session.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

#include "desktop/atspi_calls.h"
#include "desktop/gtk4.h"
#include "desktop/portal.h"
#include "desktop/toolkits.h"
#include "platform/log/log.h"

namespace companion::desktop {

namespace {

constexpr int millisecondsPerSecond = 1000;
// Dialogs whose kind is kept; past this many, all are forgotten (a kind is read again at will).
constexpr size_t maxKeptDialogKinds = 64;
// How long a focus found stays the first guess for the focus, and a window's kind as a file
// dialog is kept: one navigation's steps ask within this.
constexpr auto focusKept = std::chrono::seconds(1);
constexpr auto dialogKept = std::chrono::seconds(1);
constexpr const char* waylandDisplayVariable = "WAYLAND_DISPLAY";
// The events libatspi subscribes to for its cache. Nothing reads them between requests (each
// request forgets the cache of the application it reads), so they would only pile up on the
// connection; the subscriptions are taken back once libatspi has made them.
constexpr std::array cacheEventRules = {
    "type='signal',interface='org.a11y.atspi.Cache',member='AddAccessible'",
    "type='signal',interface='org.a11y.atspi.Cache',member='RemoveAccessible'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='ChildrenChanged'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='PropertyChange'",
    "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged'",
};

}  // namespace

bool AtspiSession::trusted() {
    const char* wayland = std::getenv(waylandDisplayVariable);
    const bool display = x.available() || (wayland && *wayland);
    return display && bus_.state() == BusState::ready;
}

std::optional<int32_t> AtspiSession::frontPid() {
    if (!keyless()) return x.focusedPid();
    if (!keylessFront) return std::nullopt;
    return keylessFront->pid;
}

bool AtspiSession::started() {
    if (started_) return true;
    if (startFailed_) return false;
    if (!bus_.accessibilityBusAddress() && bus_.state() != BusState::ready) return false;
    // libatspi finds its bus on its own, first through this variable: it must be the bus just
    // checked, or libatspi might look up another one and end the process when that one fails.
    ::setenv(accessibilityBusVariable, bus_.accessibilityBusAddress()->c_str(), 1);
    if (atspi_init() != 0) {
        // libatspi counts itself started even so, and would abort on its next call.
        startFailed_ = true;
        log::warn(log::Kind::other, "dialog assistant: libatspi could not reach the accessibility bus at " +
                                        *bus_.accessibilityBusAddress() + "; the assistant stays off until restart");
        return false;
    }
    if (DBusConnection* bus = atspi_get_a11y_bus()) {
        for (const char* rule : cacheEventRules) dbus_bus_remove_match(bus, rule, nullptr);
    }
    started_ = true;
    return true;
}

void AtspiSession::prepare(const accessibility::Element& element) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    const double seconds = element.messagingTimeout.value_or(accessibility::defaultMessagingTimeout);
    atspi_set_timeout(static_cast<int>(seconds * millisecondsPerSecond), -1);
}

std::vector<AccessibleRef> AtspiSession::applications() {
    AccessibleRef desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    atspi_accessible_clear_cache(desktop.get());
    CallError error;
    return childrenOf(desktop.get(), error);
}

AccessibleRef AtspiSession::applicationOf(int32_t pid) {
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

std::optional<AtspiSession::PortalDialog> AtspiSession::portalDialogOf(int32_t pid) {
    const auto backEnd = portalDialogProcess(sessionBus(), pid, portalCallLimit);
    if (!backEnd || *backEnd == pid) return std::nullopt;
    AccessibleRef app = applicationOf(*backEnd);
    if (!app) return std::nullopt;
    CallError error;
    std::optional<PortalDialog> found;
    for (auto& window : childrenOf(app.get(), error)) {
        if (!isShown(window.get()) || !panelOf(window.get())) continue;
        if (found) return std::nullopt;
        found = PortalDialog{*backEnd, std::move(window)};
    }
    return found;
}

AccessibleRef AtspiSession::resolve(const accessibility::Element& element) {
    if (element.id == 0) return applicationOf(element.pid);
    AtspiAccessible* known = elements.find(element.id);
    return known ? AccessibleRef(static_cast<AtspiAccessible*>(g_object_ref(known))) : nullptr;
}

accessibility::Element AtspiSession::handle(const accessibility::Element& from, AtspiAccessible* accessible) {
    return accessibility::Element{from.pid, elements.idOf(accessible), from.messagingTimeout};
}

void AtspiSession::keepFocus(AtspiAccessible* element) {
    focus_ = KeptFocus{AccessibleRef(static_cast<AtspiAccessible*>(g_object_ref(element))), std::chrono::steady_clock::now()};
}

AccessibleRef AtspiSession::keptFocus(AtspiAccessible* application) {
    if (!focus_ || focus_->element->parent.app != application->parent.app) return nullptr;
    if (std::chrono::steady_clock::now() - focus_->when > focusKept) return nullptr;
    AtspiAccessible* element = focus_->element.get();
    atspi_accessible_clear_cache(element);
    if (!hasState(element, ATSPI_STATE_FOCUSED) || !isShown(element)) return nullptr;
    return AccessibleRef(static_cast<AtspiAccessible*>(g_object_ref(element)));
}

AccessibleRef AtspiSession::focusedIn(AtspiAccessible* application) {
    if (AccessibleRef kept = keptFocus(application)) return kept;
    CallError error;
    auto windows = childrenOf(application, error);
    // The active window first; without a window manager none may say it is active.
    std::stable_partition(windows.begin(), windows.end(),
                          [](const AccessibleRef& w) { return hasState(w.get(), ATSPI_STATE_ACTIVE); });
    const auto isFocused = [](AtspiAccessible* element) { return hasState(element, ATSPI_STATE_FOCUSED); };
    for (auto& window : windows) {
        if (!isShown(window.get())) continue;
        AccessibleRef found = findBelow(window.get(), INT_MAX, isFocused);
        // An editable combo box (KDE's name field) says it has the focus, and so does the text
        // field inside it, which is where typing goes.
        while (found) {
            AccessibleRef inner = findBelow(found.get(), INT_MAX, isFocused);
            if (!inner) {
                keepFocus(found.get());
                return found;
            }
            found = std::move(inner);
        }
    }
    return nullptr;
}

AtspiSession::KnownDialog* AtspiSession::knownDialog(uint64_t window) {
    auto known = knownDialogs_.find(window);
    if (known == knownDialogs_.end()) return nullptr;
    if (std::chrono::steady_clock::now() - known->second.seen <= dialogKept) return &known->second;
    knownDialogs_.erase(known);
    return nullptr;
}

AtspiSession::KnownDialog& AtspiSession::keepDialog(uint64_t window, const FileDialog& dialog) {
    if (knownDialogs_.size() >= maxKeptDialogKinds) knownDialogs_.clear();
    return knownDialogs_[window] = KnownDialog{dialog, std::nullopt, std::chrono::steady_clock::now()};
}

std::optional<FileDialog> AtspiSession::navigatedDialog(AtspiAccessible* window) {
    const uint64_t id = elements.idOf(window);
    if (KnownDialog* known = knownDialog(id)) return known->dialog;
    auto dialog = fileDialogOf(window);
    if (dialog) keepDialog(id, *dialog);
    return dialog;
}

bool AtspiSession::canBeMoved(AtspiAccessible* window, const FileDialog& dialog) {
    if (!dialog.navigable) return false;
    if (!mayChooseFolders(dialog)) return true;
    const uint64_t id = elements.idOf(window);
    KnownDialog* known = knownDialog(id);
    if (!known) known = &keepDialog(id, dialog);
    if (!known->choosesFolders) known->choosesFolders = gtk4::choosesFolders(window);
    return !*known->choosesFolders;
}

}  // namespace companion::desktop
