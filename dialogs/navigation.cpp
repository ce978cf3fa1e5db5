#include "dialogs/navigation.h"

#include <chrono>
#include <memory>

#include "core/input_checks.h"
#include "dialogs/dialogs_services.h"

namespace companion::dialogs {

using namespace service;
using accessibility::KeyboardEvent;

namespace {

using Seconds = std::chrono::duration<double>;

// The pace of the chain: time for the activated application to come forward, between two looks
// for the field, and for the dialog to take the path before it is confirmed.
constexpr Seconds activationDelay{0.12};
constexpr Seconds lookInterval{0.08};
constexpr int delayedLooks = 14;
constexpr Seconds confirmationDelay{0.25};

using accessibility::aKeyCode;
using accessibility::gKeyCode;
using accessibility::returnKeyCode;
constexpr uint16_t textKeyCode = aKeyCode;
constexpr uint64_t goToFolderFlags = accessibility::commandFlag | accessibility::shiftFlag;
constexpr uint64_t selectAllFlags = accessibility::commandFlag;
constexpr uint64_t noFlags = 0;

using accessibility::pathFieldIdentifier;
constexpr std::string_view searchFieldSubrole = "AXSearchField";
constexpr std::string_view comboBoxRole = "AXComboBox";
constexpr std::string_view textFieldRole = "AXTextField";

using NavigateReply = Reply<msg::navigateDialogWithPid>;

// One request on its way through the steps; it lives until its reply.
struct Navigation {
    const Platform& platform;
    int32_t pid;
    std::string path;  // standardised
    NavigateReply reply;
    std::optional<Element> previousFocus;

    Accessibility& ax() const { return *platform.accessibility; }
    bool targetIsFrontmost() const {
        auto front = platform.workspace->frontmostApplication();
        return front && front->pid == pid;
    }
};
using NavigationRef = std::shared_ptr<Navigation>;

void pressKey(Accessibility& ax, uint16_t keyCode, uint64_t flags) {
    ax.postKeyboardEvent(KeyboardEvent{keyCode, true, flags, {}});
    ax.postKeyboardEvent(KeyboardEvent{keyCode, false, flags, {}});
}

template <class Step>
void after(const Navigation& navigation, Seconds delay, Step step) {
    navigation.platform.mainQueue().asyncAfter(std::chrono::duration_cast<dispatch::Clock::duration>(delay),
                                               std::make_shared<dispatch::WorkItem>(std::move(step)));
}

// E: confirm, unless the focus has left the field in the meantime.
void confirm(const NavigationRef& navigation, const Element& field) {
    auto& ax = navigation->ax();
    if (navigation->targetIsFrontmost() && focusedElement(ax) == field) pressKey(ax, returnKeyCode, noFlags);
    // The path is in the field either way; whether it was confirmed is not the client's concern.
    navigation->reply(true);
}

// D: put the path into the field, by setting its value or, when it refuses, by typing.
void enterPath(const NavigationRef& navigation, const std::optional<Element>& field) {
    if (!navigation->targetIsFrontmost()) return navigation->reply(false);
    if (!field) {
        navigation->platform.workspace->beep();
        return navigation->reply(false);
    }
    auto& ax = navigation->ax();
    if (ax.setAttributeValue(*field, valueAttribute, navigation->path) != accessibility::success) {
        pressKey(ax, aKeyCode, selectAllFlags);
        typeText(ax, navigation->path);
    }
    after(*navigation, confirmationDelay, [navigation, field = *field] { confirm(navigation, field); });
}

// C: look again for the field while looks remain.
void lookForField(const NavigationRef& navigation, int remaining) {
    if (auto field = pathField(navigation->ax(), navigation->previousFocus)) return enterPath(navigation, field);
    if (remaining < 1) return enterPath(navigation, std::nullopt);
    after(*navigation, lookInterval, [navigation, remaining] { lookForField(navigation, remaining - 1); });
}

// B: with the target in front, open its go-to-folder sheet and take the first look.
void openGoToFolder(const NavigationRef& navigation) {
    if (!navigation->targetIsFrontmost()) return navigation->reply(false);
    auto& ax = navigation->ax();
    navigation->previousFocus = focusedElement(ax);
    pressKey(ax, gKeyCode, goToFolderFlags);
    if (auto field = pathField(ax, navigation->previousFocus)) return enterPath(navigation, field);
    after(*navigation, lookInterval, [navigation] { lookForField(navigation, delayedLooks - 1); });
}

// A: bring the target forward; B finds out whether that worked.
void activateTarget(const NavigationRef& navigation) {
    auto& workspace = *navigation->platform.workspace;
    if (workspace.runningApplication(navigation->pid)) workspace.activate(navigation->pid);
    after(*navigation, activationDelay, [navigation] { openGoToFolder(navigation); });
}

void navigateDialogWithPid(CompanionSession& session, Args<msg::navigateDialogWithPid> args,
                           Reply<msg::navigateDialogWithPid> reply) {
    auto [pid, path] = std::move(args);
    auto standardized = sanitizedPath(path, true);
    if (!standardized) return reply(false);
    const Platform& platform = session.platform();
    if (!platform.accessibility->isProcessTrusted(false)) return reply(false);
    auto navigation = std::make_shared<Navigation>(Navigation{platform, pid, std::move(*standardized), std::move(reply), {}});
    platform.mainQueue().async([navigation] { activateTarget(navigation); });
}

}  // namespace

std::optional<Element> pathField(Accessibility& ax, const std::optional<Element>& previousFocus) {
    auto focused = focusedElement(ax);
    if (!focused) return std::nullopt;
    // The field the platform names as the go-to-folder field is taken even when it held the focus
    // before the shortcut: some dialogs take a folder's path in the field that already has it.
    if (readString(ax, *focused, identifierAttribute) == pathFieldIdentifier) return focused;
    if (focused == previousFocus) return std::nullopt;
    // The dialog's search field is a text field too, but typing a path there would search for it.
    if (readString(ax, *focused, subroleAttribute) == searchFieldSubrole) return std::nullopt;
    const std::string role = readString(ax, *focused, roleAttribute);
    if (role == comboBoxRole || role == textFieldRole) return focused;
    return std::nullopt;
}

void typeText(Accessibility& ax, std::string_view text) {
    const std::u16string units = accessibility::utf16Units(text);
    for (size_t start = 0; start < units.size(); start += accessibility::maxEventUnicodeUnits) {
        std::u16string chunk = units.substr(start, accessibility::maxEventUnicodeUnits);
        ax.postKeyboardEvent(KeyboardEvent{textKeyCode, true, std::nullopt, chunk});
        ax.postKeyboardEvent(KeyboardEvent{textKeyCode, false, std::nullopt, chunk});
    }
}

void installNavigationServices(Services& services) { services.handlers.navigateDialogWithPid = &navigateDialogWithPid; }

}  // namespace companion::dialogs
