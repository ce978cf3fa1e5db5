#pragma once
// A desktop of modelled applications that stands in for both the accessibility interface and the
// workspace: applications by pid and bundle identifier, their windows, sheets and children with
// attributes, failures and slow answers, a focus that moves, and an Open/Save dialog that reacts
// to the keys posted to it. Everything posted, written or sounded is recorded, in order.
//
//   Desktop desktop;                    // tests/dialogs/support/harness.h hands it to a session
//   auto app = desktop.launch(42);
//   auto window = app.window().identifier("save-panel").frame(100, 200, 800, 500);
//   auto sheet = app.window().child("AXSheet").frame(0, 0, 600, 400);
//   sheet.child("AXGroup").child("AXGroup").child("AXOutline").description("sidebar");
//
//   auto dialog = desktop.openDialog(app, {.fieldFocusedAfterLooks = 3, .fieldRefusesValue = true});
//   ... navigate ...
//   dialog.confirmedPath();   // what Return confirmed, if anything

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/accessibility/accessibility.h"
#include "platform/workspace/workspace.h"

namespace companion::testing {

namespace ax = accessibility;

class Desktop;

// One element of a modelled application; a handle, cheap to copy.
class UiElement {
public:
    UiElement(Desktop& desktop, ax::Element element) : desktop_(&desktop), element_(element) {}

    UiElement& set(const std::string& attribute, ax::Value value);
    // Reads of `attribute` fail with `error`.
    UiElement& fail(const std::string& attribute, ax::Error error);
    UiElement& role(const std::string& text) { return set("AXRole", text); }
    UiElement& subrole(const std::string& text) { return set("AXSubrole", text); }
    UiElement& identifier(const std::string& text) { return set("AXIdentifier", text); }
    UiElement& description(const std::string& text) { return set("AXDescription", text); }
    UiElement& document(const std::string& url) { return set("AXDocument", url); }
    UiElement& frame(double x, double y, double width, double height);
    // A new last child with this role.
    UiElement child(const std::string& role);

    const ax::Element& element() const { return element_; }

private:
    Desktop* desktop_;
    ax::Element element_;
};

// How a modelled Open/Save dialog behaves once Command-Shift-G reaches it.
struct DialogBehaviour {
    // The role of what has the focus when the dialog opens: its file list, or the name field of
    // a Save dialog.
    std::string initialFocusRole = "AXOutline";
    // The go-to-folder field takes the focus at this look (a read of the focused element) after
    // the shortcut; never when none.
    std::optional<int> fieldFocusedAfterLooks = 1;
    std::string fieldIdentifier = "PathTextField";
    std::string fieldRole = "AXTextField";
    std::string fieldSubrole = {};
    // Setting the field's value fails; typed text still lands in it.
    bool fieldRefusesValue = false;
    // The focus leaves the field as soon as its value is set.
    bool focusLeavesOnValue = false;
};

class DialogHandle {
public:
    DialogHandle(Desktop& desktop, int32_t pid) : desktop_(&desktop), pid_(pid) {}
    // The path Return confirmed, if it was pressed with the field focused.
    std::optional<std::string> confirmedPath() const;
    // What the go-to-folder field holds now.
    std::string fieldText() const;

private:
    Desktop* desktop_;
    int32_t pid_;
};

class ModelApplication {
public:
    ModelApplication(Desktop& desktop, int32_t pid) : desktop_(&desktop), pid_(pid) {}
    int32_t pid() const { return pid_; }
    UiElement element() const;
    // A new window, last in the application's window list.
    UiElement window();
    ModelApplication& focusWindow(const UiElement& window);
    // Every read of the application's elements fails with `error`.
    ModelApplication& failReads(ax::Error error);
    // Every read waits this long for the application to answer.
    ModelApplication& answerAfter(double seconds);
    // Activation leaves the application where it is.
    ModelApplication& refuseActivation();

private:
    Desktop* desktop_;
    int32_t pid_;
};

// A write to an element, with the code it got.
struct AttributeWrite {
    ax::Element element;
    std::string attribute;
    std::string value;
    ax::Error error = ax::success;
};
struct Beep {};

struct Record {
    std::chrono::steady_clock::time_point at;
    using What = std::variant<ax::KeyboardEvent, AttributeWrite, Beep>;
    What what;
};

// The desktop's own state, for the handles above; tests use the handles.
namespace model {

struct Node {
    std::map<std::string, std::variant<ax::Value, ax::Error>> attributes;
};
struct Dialog {
    DialogBehaviour behaviour;
    ax::Element window, initialFocus;
    std::optional<ax::Element> field;
    std::optional<int> looksUntilFocus;
    std::u16string text;
    bool allSelected = false;
    std::optional<std::string> confirmed;
};
struct Application {
    std::string bundleIdentifier;
    std::vector<Node> nodes{1};  // [0] is the application element
    std::optional<ax::Error> failure;
    double answerDelay = 0;
    bool activates = true;
    std::optional<Dialog> dialog;
};

}  // namespace model

class Desktop final : public ax::Accessibility, public workspace::Workspace {
public:
    static constexpr ax::Error valueRefused = -25205;  // the code a refused write returns

    using Node = model::Node;
    using Dialog = model::Dialog;
    using Application = model::Application;

    Desktop& trust(bool trusted);
    ModelApplication launch(int32_t pid, std::string bundleIdentifier = "");
    ModelApplication application(int32_t pid) { return {*this, pid}; }
    void bringToFront(int32_t pid);
    void focus(const std::optional<ax::Element>& element);

    // Gives the application an Open/Save dialog in front, with the focus where `behaviour` says.
    DialogHandle openDialog(ModelApplication& app, DialogBehaviour behaviour = {});

    double displayHeight = 1080;

    std::vector<Record> records() const;
    std::vector<ax::KeyboardEvent> events() const;
    std::vector<AttributeWrite> writes() const;
    size_t beeps() const;
    size_t reads() const;
    size_t prompts() const;

    // ---- ax::Accessibility ----
    bool isProcessTrusted(bool prompt) override;
    ax::Element applicationElement(int32_t pid) override { return {pid, 0, std::nullopt}; }
    ax::Element systemWideElement() override { return {}; }
    ax::AttributeRead copyAttributeValue(const ax::Element& element, std::string_view attribute) override;
    ax::Error setAttributeValue(const ax::Element& element, std::string_view attribute, const std::string& value) override;
    void postKeyboardEvent(const ax::KeyboardEvent& event) override;
    double mainDisplayHeight() override;

    // ---- workspace::Workspace ----
    std::optional<workspace::RunningApplication> runningApplication(int32_t pid) const override;
    std::vector<workspace::RunningApplication> runningApplications(std::string_view bundleIdentifier) const override;
    std::optional<workspace::RunningApplication> frontmostApplication() const override;
    bool activate(int32_t pid) override;
    void terminate(int32_t) override {}
    std::optional<std::string> applicationLocation(std::string_view) const override { return std::nullopt; }
    void openApplication(const std::string&, std::function<void(bool)> completion) override { completion(false); }
    bool openAddress(const std::string&) override { return false; }
    void beep() override;

private:
    friend class UiElement;
    friend class ModelApplication;
    friend class DialogHandle;

    ax::Element addNode(int32_t pid, const std::string& role);
    void setEntry(const ax::Element& element, const std::string& attribute, std::variant<ax::Value, ax::Error> entry);
    void appendTo(const ax::Element& parent, const std::string& attribute, const ax::Element& element);
    ax::AttributeRead readLocked(const ax::Element& element, std::string_view attribute);
    ax::Element focusedLocked();
    void keyDownLocked(const ax::KeyboardEvent& event);
    void record(Record::What what);

    mutable std::mutex mutex_;
    std::map<int32_t, Application> applications_;
    std::vector<int32_t> launchOrder_;
    std::optional<int32_t> frontmost_;
    std::optional<ax::Element> focus_;
    bool trusted_ = true;
    size_t reads_ = 0, prompts_ = 0;
    std::vector<Record> records_;
};

}  // namespace companion::testing
