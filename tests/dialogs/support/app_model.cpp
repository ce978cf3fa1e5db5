#include "dialogs/support/app_model.h"

#include <thread>

namespace companion::testing {

namespace {

constexpr ax::Error noValue = -25212, valueRefused = -25205;
constexpr uint16_t gKey = 5;

}  // namespace

UiElement& UiElement::set(const std::string& attribute, ax::Value value) {
    desktop->setEntry(element, attribute, std::move(value));
    return *this;
}

UiElement& UiElement::fail(const std::string& attribute, ax::Error error) {
    desktop->setEntry(element, attribute, error);
    return *this;
}

UiElement& UiElement::frame(double x, double y, double width, double height) {
    set("AXPosition", ax::Point{x, y});
    return set("AXSize", ax::Size{width, height});
}

UiElement UiElement::child(const std::string& role) { return desktop->addNode(element, "AXChildren", role); }

UiElement UiElement::window() { return desktop->addNode(element, "AXWindows", "AXWindow"); }

void Desktop::setEntry(const ax::Element& element, const std::string& attribute, Node::mapped_type entry) {
    std::lock_guard lock(mutex_);
    applications_.at(element.pid).nodes.at(element.id)[attribute] = std::move(entry);
}

UiElement Desktop::addNode(const ax::Element& parent, const std::string& list, const std::string& role) {
    std::lock_guard lock(mutex_);
    auto& nodes = applications_.at(parent.pid).nodes;
    const ax::Element element{parent.pid, nodes.size(), std::nullopt};
    nodes.push_back({{"AXRole", ax::Value(role)}});
    std::vector<ax::Element> elements;
    auto& entry = nodes.at(parent.id)[list];
    if (auto* value = std::get_if<ax::Value>(&entry); value && std::holds_alternative<std::vector<ax::Element>>(*value))
        elements = std::get<std::vector<ax::Element>>(*value);
    elements.push_back(element);
    entry = ax::Value(std::move(elements));
    return {this, element};
}

UiElement Desktop::launch(int32_t pid, std::string bundleIdentifier) {
    std::lock_guard lock(mutex_);
    applications_[pid] = {std::move(bundleIdentifier), {Node{{"AXRole", ax::Value(std::string("AXApplication"))}}}};
    return {this, {pid, 0, std::nullopt}};
}

void Desktop::answerAfter(int32_t pid, double seconds) {
    std::lock_guard lock(mutex_);
    applications_.at(pid).answerDelay = seconds;
}

void Desktop::refuseActivation(int32_t pid) {
    std::lock_guard lock(mutex_);
    applications_.at(pid).activates = false;
}

UiElement Desktop::openDialog(UiElement app, DialogBehaviour behaviour) {
    auto window = app.window();
    const auto nameField = window.child("AXTextField");
    const auto field = window.child("AXSheet").child("AXTextField").identifier("PathTextField");
    std::lock_guard lock(mutex_);
    dialog_ = Dialog{app.element.pid, behaviour, nameField.element, field.element, {}};
    frontmost_ = app.element.pid;
    focus_ = nameField.element;
    return field;
}

void Desktop::recordLocked(Record::What what) { records_.push_back({std::chrono::steady_clock::now(), std::move(what)}); }

std::vector<Record> Desktop::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

ax::AttributeRead Desktop::copyAttributeValue(const ax::Element& element, std::string_view attribute) {
    ++reads;
    std::unique_lock lock(mutex_);
    if (element.pid == 0) {
        const auto focused = attribute == "AXFocusedUIElement" ? focusedLocked() : ax::Element{};
        return focused.pid == 0 ? ax::AttributeRead{noValue, {}} : ax::AttributeRead{ax::success, focused};
    }
    auto app = applications_.find(element.pid);
    if (app == applications_.end()) return {ax::cannotComplete, {}};
    // An application slower than the element's limit does not answer at all.
    const double delay = app->second.answerDelay;
    const double limit = element.messagingTimeout.value_or(ax::defaultMessagingTimeout);
    if (delay > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(delay, limit)));
        if (delay > limit) return {ax::cannotComplete, {}};
        lock.lock();
    }
    const Node& node = app->second.nodes.at(element.id);
    auto entry = node.find(attribute);
    if (entry == node.end()) return {noValue, {}};
    if (auto* error = std::get_if<ax::Error>(&entry->second)) return {*error, {}};
    return {ax::success, std::get<ax::Value>(entry->second)};
}

// The go-to-folder sheet takes a moment to appear: its field gets the focus at the chosen look.
ax::Element Desktop::focusedLocked() {
    if (dialog_ && dialog_->looksUntilFocus && --*dialog_->looksUntilFocus < 1) {
        dialog_->looksUntilFocus.reset();
        focus_ = dialog_->field;
    }
    return focus_.value_or(ax::Element{});
}

ax::Error Desktop::setAttributeValue(const ax::Element& element, std::string_view attribute, const std::string& value) {
    std::lock_guard lock(mutex_);
    recordLocked(AttributeWrite{std::string(attribute), value});
    if (!dialog_ || element != dialog_->field || attribute != "AXValue" || dialog_->behaviour.refusesValue)
        return valueRefused;
    if (dialog_->behaviour.focusLeavesOnValue) focus_ = dialog_->nameField;
    return ax::success;
}

// Command-Shift-G opens the go-to-folder sheet of the dialog in front; the tests check every other
// key as posted.
void Desktop::postKeyboardEvent(const ax::KeyboardEvent& event) {
    std::lock_guard lock(mutex_);
    recordLocked(event);
    const bool shortcut = event.keyDown && event.keyCode == gKey && event.flags == (ax::commandFlag | ax::shiftFlag);
    if (shortcut && dialog_ && frontmost_ == dialog_->pid) dialog_->looksUntilFocus = dialog_->behaviour.fieldFocusedAtLook;
}

std::optional<workspace::RunningApplication> Desktop::runningLocked(std::optional<int32_t> pid) const {
    auto app = pid ? applications_.find(*pid) : applications_.end();
    if (app == applications_.end()) return std::nullopt;
    return workspace::RunningApplication{*pid, app->second.bundleIdentifier};
}

std::optional<workspace::RunningApplication> Desktop::runningApplication(int32_t pid) const {
    std::lock_guard lock(mutex_);
    return runningLocked(pid);
}

std::optional<workspace::RunningApplication> Desktop::frontmostApplication() const {
    std::lock_guard lock(mutex_);
    return runningLocked(frontmost_);
}

std::vector<workspace::RunningApplication> Desktop::runningApplications(std::string_view bundleIdentifier) const {
    std::lock_guard lock(mutex_);
    std::vector<workspace::RunningApplication> found;
    for (const auto& [pid, app] : applications_)
        if (app.bundleIdentifier == bundleIdentifier) found.push_back({pid, app.bundleIdentifier});
    return found;
}

bool Desktop::activate(int32_t pid) {
    std::lock_guard lock(mutex_);
    auto app = applications_.find(pid);
    if (app == applications_.end() || !app->second.activates) return false;
    frontmost_ = pid;
    return true;
}

void Desktop::beep() {
    std::lock_guard lock(mutex_);
    recordLocked(Beep{});
}

}  // namespace companion::testing
