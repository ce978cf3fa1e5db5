#include "dialogs/support/app_model.h"

#include <algorithm>
#include <thread>

namespace companion::testing {

namespace {

constexpr ax::Error noValue = -25212;
constexpr ax::Error invalidElement = -25202;
constexpr uint16_t gKey = 5, aKey = 0, returnKey = 36;
constexpr uint64_t goToFolderFlags = ax::commandFlag | ax::shiftFlag;

std::string utf8Of(const std::u16string& units) {
    std::string text;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size())
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (code < 0x80) {
            text.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            text += {char(0xC0 | (code >> 6)), char(0x80 | (code & 0x3F))};
        } else if (code < 0x10000) {
            text += {char(0xE0 | (code >> 12)), char(0x80 | ((code >> 6) & 0x3F)), char(0x80 | (code & 0x3F))};
        } else {
            text += {char(0xF0 | (code >> 18)), char(0x80 | ((code >> 12) & 0x3F)),
                     char(0x80 | ((code >> 6) & 0x3F)), char(0x80 | (code & 0x3F))};
        }
    }
    return text;
}

}  // namespace

// ---- handles ----

UiElement& UiElement::set(const std::string& attribute, ax::Value value) {
    std::lock_guard lock(desktop_->mutex_);
    desktop_->setEntry(element_, attribute, std::move(value));
    return *this;
}

UiElement& UiElement::fail(const std::string& attribute, ax::Error error) {
    std::lock_guard lock(desktop_->mutex_);
    desktop_->setEntry(element_, attribute, error);
    return *this;
}

UiElement& UiElement::frame(double x, double y, double width, double height) {
    set("AXPosition", ax::Point{x, y});
    return set("AXSize", ax::Size{width, height});
}

UiElement UiElement::child(const std::string& role) {
    std::lock_guard lock(desktop_->mutex_);
    auto element = desktop_->addNode(element_.pid, role);
    desktop_->appendTo(element_, "AXChildren", element);
    return {*desktop_, element};
}

UiElement ModelApplication::element() const { return {*desktop_, {pid_, 0, std::nullopt}}; }

UiElement ModelApplication::window() {
    std::lock_guard lock(desktop_->mutex_);
    auto window = desktop_->addNode(pid_, "AXWindow");
    desktop_->appendTo({pid_, 0, std::nullopt}, "AXWindows", window);
    return {*desktop_, window};
}

ModelApplication& ModelApplication::focusWindow(const UiElement& window) {
    element().set("AXFocusedWindow", window.element());
    return *this;
}

ModelApplication& ModelApplication::failReads(ax::Error error) {
    std::lock_guard lock(desktop_->mutex_);
    desktop_->applications_.at(pid_).failure = error;
    return *this;
}

ModelApplication& ModelApplication::answerAfter(double seconds) {
    std::lock_guard lock(desktop_->mutex_);
    desktop_->applications_.at(pid_).answerDelay = seconds;
    return *this;
}

ModelApplication& ModelApplication::refuseActivation() {
    std::lock_guard lock(desktop_->mutex_);
    desktop_->applications_.at(pid_).activates = false;
    return *this;
}

std::optional<std::string> DialogHandle::confirmedPath() const {
    std::lock_guard lock(desktop_->mutex_);
    return desktop_->applications_.at(pid_).dialog->confirmed;
}

std::string DialogHandle::fieldText() const {
    std::lock_guard lock(desktop_->mutex_);
    return utf8Of(desktop_->applications_.at(pid_).dialog->text);
}

// ---- building ----

Desktop& Desktop::trust(bool trusted) {
    std::lock_guard lock(mutex_);
    trusted_ = trusted;
    return *this;
}

ModelApplication Desktop::launch(int32_t pid, std::string bundleIdentifier) {
    {
        std::lock_guard lock(mutex_);
        applications_[pid].bundleIdentifier = std::move(bundleIdentifier);
        launchOrder_.push_back(pid);
        setEntry({pid, 0, std::nullopt}, "AXRole", std::string("AXApplication"));
    }
    return {*this, pid};
}

void Desktop::bringToFront(int32_t pid) {
    std::lock_guard lock(mutex_);
    frontmost_ = pid;
}

void Desktop::focus(const std::optional<ax::Element>& element) {
    std::lock_guard lock(mutex_);
    focus_ = element;
}

DialogHandle Desktop::openDialog(ModelApplication& app, DialogBehaviour behaviour) {
    auto window = app.window().identifier("open-panel").frame(100, 100, 800, 500);
    auto initialFocus = window.child(behaviour.initialFocusRole);
    std::lock_guard lock(mutex_);
    auto& dialog = applications_.at(app.pid()).dialog.emplace();
    dialog.behaviour = std::move(behaviour);
    dialog.window = window.element();
    dialog.initialFocus = initialFocus.element();
    frontmost_ = app.pid();
    focus_ = initialFocus.element();
    return {*this, app.pid()};
}

ax::Element Desktop::addNode(int32_t pid, const std::string& role) {
    auto& nodes = applications_.at(pid).nodes;
    nodes.emplace_back().attributes["AXRole"] = ax::Value(role);
    return {pid, nodes.size() - 1, std::nullopt};
}

void Desktop::setEntry(const ax::Element& element, const std::string& attribute,
                       std::variant<ax::Value, ax::Error> entry) {
    applications_.at(element.pid).nodes.at(element.id).attributes[attribute] = std::move(entry);
}

void Desktop::appendTo(const ax::Element& parent, const std::string& attribute, const ax::Element& element) {
    auto& entry = applications_.at(parent.pid).nodes.at(parent.id).attributes[attribute];
    if (!std::holds_alternative<ax::Value>(entry) ||
        !std::holds_alternative<std::vector<ax::Element>>(std::get<ax::Value>(entry)))
        entry = ax::Value(std::vector<ax::Element>{});
    std::get<std::vector<ax::Element>>(std::get<ax::Value>(entry)).push_back(element);
}

// ---- records ----

void Desktop::record(Record::What what) { records_.push_back({std::chrono::steady_clock::now(), std::move(what)}); }

std::vector<Record> Desktop::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<ax::KeyboardEvent> Desktop::events() const {
    std::vector<ax::KeyboardEvent> events;
    for (const auto& r : records())
        if (auto* event = std::get_if<ax::KeyboardEvent>(&r.what)) events.push_back(*event);
    return events;
}

std::vector<AttributeWrite> Desktop::writes() const {
    std::vector<AttributeWrite> writes;
    for (const auto& r : records())
        if (auto* write = std::get_if<AttributeWrite>(&r.what)) writes.push_back(*write);
    return writes;
}

size_t Desktop::beeps() const {
    auto all = records();
    return std::count_if(all.begin(), all.end(), [](const Record& r) { return std::holds_alternative<Beep>(r.what); });
}

size_t Desktop::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

size_t Desktop::prompts() const {
    std::lock_guard lock(mutex_);
    return prompts_;
}

// ---- the accessibility interface ----

bool Desktop::isProcessTrusted(bool prompt) {
    std::lock_guard lock(mutex_);
    if (prompt && !trusted_) ++prompts_;
    return trusted_;
}

ax::AttributeRead Desktop::copyAttributeValue(const ax::Element& element, std::string_view attribute) {
    std::unique_lock lock(mutex_);
    ++reads_;
    if (element.pid == 0) {
        if (attribute != "AXFocusedUIElement") return {noValue, {}};
        auto focused = focusedLocked();
        return focused.pid == 0 ? ax::AttributeRead{noValue, {}} : ax::AttributeRead{ax::success, ax::Value(focused)};
    }
    auto app = applications_.find(element.pid);
    if (app == applications_.end()) return {ax::cannotComplete, {}};
    const double delay = app->second.answerDelay;
    const double limit = element.messagingTimeout.value_or(ax::defaultMessagingTimeout);
    if (delay > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(delay, limit)));
        if (delay > limit) return {ax::cannotComplete, {}};
        lock.lock();
    }
    return readLocked(element, attribute);
}

ax::AttributeRead Desktop::readLocked(const ax::Element& element, std::string_view attribute) {
    const Application& app = applications_.at(element.pid);
    if (app.failure) return {*app.failure, {}};
    if (element.id >= app.nodes.size()) return {invalidElement, {}};
    const auto& attributes = app.nodes[element.id].attributes;
    auto entry = attributes.find(std::string(attribute));
    if (entry == attributes.end()) return {noValue, {}};
    if (auto* error = std::get_if<ax::Error>(&entry->second)) return {*error, {}};
    return {ax::success, std::get<ax::Value>(entry->second)};
}

// A dialog whose go-to-folder sheet has opened hands the focus to its field after a number of
// looks, the way a real sheet takes a moment to appear.
ax::Element Desktop::focusedLocked() {
    for (auto& [pid, app] : applications_) {
        if (!app.dialog || !app.dialog->looksUntilFocus) continue;
        if (--*app.dialog->looksUntilFocus > 0) continue;
        app.dialog->looksUntilFocus.reset();
        focus_ = app.dialog->field;
    }
    return focus_.value_or(ax::Element{});
}

ax::Error Desktop::setAttributeValue(const ax::Element& element, std::string_view attribute, const std::string& value) {
    std::lock_guard lock(mutex_);
    ax::Error error = valueRefused;
    auto app = applications_.find(element.pid);
    if (app == applications_.end()) {
        error = ax::cannotComplete;
    } else if (auto& dialog = app->second.dialog; dialog && dialog->field == element && attribute == "AXValue" &&
                                                  !dialog->behaviour.fieldRefusesValue) {
        error = ax::success;
        dialog->text = ax::utf16Units(value);
        if (dialog->behaviour.focusLeavesOnValue) focus_ = dialog->initialFocus;
    }
    record(AttributeWrite{element, std::string(attribute), value, error});
    return error;
}

void Desktop::postKeyboardEvent(const ax::KeyboardEvent& event) {
    std::lock_guard lock(mutex_);
    record(event);
    if (event.keyDown) keyDownLocked(event);
}

// Keys reach the frontmost application's dialog, and its field only while the field has the focus.
void Desktop::keyDownLocked(const ax::KeyboardEvent& event) {
    if (!frontmost_) return;
    auto& app = applications_.at(*frontmost_);
    if (!app.dialog) return;
    Dialog& dialog = *app.dialog;
    if (event.keyCode == gKey && event.flags == goToFolderFlags) {
        if (!dialog.field) {
            auto sheet = addNode(*frontmost_, "AXSheet");
            appendTo(dialog.window, "AXChildren", sheet);
            auto field = addNode(*frontmost_, dialog.behaviour.fieldRole);
            setEntry(field, "AXIdentifier", dialog.behaviour.fieldIdentifier);
            setEntry(field, "AXSubrole", dialog.behaviour.fieldSubrole);
            appendTo(sheet, "AXChildren", field);
            dialog.field = field;
        }
        dialog.looksUntilFocus = dialog.behaviour.fieldFocusedAfterLooks;
        return;
    }
    if (!dialog.field || focus_ != dialog.field) return;
    if (event.keyCode == aKey && event.flags == ax::commandFlag) {
        dialog.allSelected = true;
    } else if (event.keyCode == aKey && !event.unicodeString.empty()) {
        dialog.text = dialog.allSelected ? event.unicodeString : dialog.text + event.unicodeString;
        dialog.allSelected = false;
    } else if (event.keyCode == returnKey) {
        dialog.confirmed = utf8Of(dialog.text);
    }
}

double Desktop::mainDisplayHeight() {
    std::lock_guard lock(mutex_);
    return displayHeight;
}

// ---- the workspace ----

std::optional<workspace::RunningApplication> Desktop::runningApplication(int32_t pid) const {
    std::lock_guard lock(mutex_);
    auto app = applications_.find(pid);
    if (app == applications_.end()) return std::nullopt;
    return workspace::RunningApplication{pid, app->second.bundleIdentifier};
}

std::vector<workspace::RunningApplication> Desktop::runningApplications(std::string_view bundleIdentifier) const {
    std::lock_guard lock(mutex_);
    std::vector<workspace::RunningApplication> found;
    for (int32_t pid : launchOrder_) {
        if (applications_.at(pid).bundleIdentifier == bundleIdentifier) found.push_back({pid, std::string(bundleIdentifier)});
    }
    return found;
}

std::optional<workspace::RunningApplication> Desktop::frontmostApplication() const {
    std::lock_guard lock(mutex_);
    if (!frontmost_) return std::nullopt;
    return workspace::RunningApplication{*frontmost_, applications_.at(*frontmost_).bundleIdentifier};
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
    record(Beep{});
}

}  // namespace companion::testing
