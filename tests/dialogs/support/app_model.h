#pragma once
// A desktop of modelled applications that stands in for both the accessibility interface and the
// workspace. Everything posted, written or sounded is recorded, in order, with its time.
//
//   Desktop desktop;                       // DialogsHarness (harness.h) hands one to a session
//   auto app = desktop.launch(42);         // the application's element
//   auto sheet = app.window().child("AXSheet").frame(0, 0, 600, 400);
//   sheet.child("AXGroup").child("AXOutline").description("sidebar");
//
//   auto field = desktop.openDialog(app, {.fieldFocusedAtLook = 3, .refusesValue = true});
//   field.identifier("").role("AXComboBox");  // the go-to-folder field, made what the case needs
//   ... navigate ...
//   desktop.recorded<ax::KeyboardEvent>();    // every event posted, in order

#include <atomic>
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

// One element of a modelled application, or the application's own element; cheap to copy.
struct UiElement {
    UiElement& set(const std::string& attribute, ax::Value value);
    // Reads of `attribute` fail with `error`.
    UiElement& fail(const std::string& attribute, ax::Error error);
    UiElement& role(const std::string& text) { return set("AXRole", text); }
    UiElement& identifier(const std::string& text) { return set("AXIdentifier", text); }
    UiElement& description(const std::string& text) { return set("AXDescription", text); }
    UiElement& frame(double x, double y, double width, double height);
    // A new last child with this role.
    UiElement child(const std::string& role);
    // Of an application: a new last window.
    UiElement window();

    Desktop* desktop;
    ax::Element element;
};

// How the desktop's Open/Save dialog behaves once Command-Shift-G reaches it.
struct DialogBehaviour {
    // The go-to-folder field takes the focus at this look (a read of the focused element) after
    // the shortcut; never when none.
    std::optional<int> fieldFocusedAtLook = 1;
    // Setting the field's value fails.
    bool refusesValue = false;
    // The focus goes back where it was as soon as the field's value is set.
    bool focusLeavesOnValue = false;
};

struct AttributeWrite {
    std::string attribute, value;
    bool operator==(const AttributeWrite&) const = default;
};
struct Beep {};
struct Record {
    std::chrono::steady_clock::time_point at;
    using What = std::variant<ax::KeyboardEvent, AttributeWrite, Beep>;
    What what;
};

class Desktop final : public ax::Accessibility, public workspace::Workspace {
public:
    UiElement launch(int32_t pid, std::string bundleIdentifier = "");
    // Every read of the application's elements waits this long for it to answer.
    void answerAfter(int32_t pid, double seconds);
    // Activating the application leaves whichever is in front there.
    void refuseActivation(int32_t pid);

    // Gives the application a Save dialog in front, the focus in its name field (a text field, not
    // the one wanted); returns its go-to-folder field, identified "PathTextField".
    UiElement openDialog(UiElement app, DialogBehaviour behaviour = {});

    std::vector<Record> records() const;
    template <class Kind>
    std::vector<Kind> recorded() const {
        std::vector<Kind> found;
        for (const auto& record : records())
            if (auto* kind = std::get_if<Kind>(&record.what)) found.push_back(*kind);
        return found;
    }

    std::atomic<bool> trusted = true;
    std::atomic<double> displayHeight = 1080;
    std::atomic<size_t> reads = 0, prompts = 0;
    // What applications publish for their windows themselves, by process id (set before requests).
    std::map<int32_t, std::vector<std::string>> publishedDocuments;

    // ---- ax::Accessibility ----
    bool isProcessTrusted(bool prompt) override {
        if (prompt && !trusted) ++prompts;
        return trusted;
    }
    ax::Element applicationElement(int32_t pid) override { return {pid, 0, std::nullopt}; }
    ax::Element systemWideElement() override { return {}; }
    ax::AttributeRead copyAttributeValue(const ax::Element& element, std::string_view attribute) override;
    ax::Error setAttributeValue(const ax::Element& element, std::string_view attribute, const std::string& value) override;
    void postKeyboardEvent(const ax::KeyboardEvent& event) override;
    double mainDisplayHeight() override { return displayHeight; }
    std::optional<std::vector<std::string>> publishedWindowDocuments(const ax::Element& app) override {
        auto found = publishedDocuments.find(app.pid);
        if (found == publishedDocuments.end()) return std::nullopt;
        return found->second;
    }

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
    friend struct UiElement;
    using Node = std::map<std::string, std::variant<ax::Value, ax::Error>, std::less<>>;
    struct Application {
        std::string bundleIdentifier;
        std::vector<Node> nodes;  // [0] is the application's element
        double answerDelay = 0;
        bool activates = true;
    };
    struct Dialog {
        int32_t pid;
        DialogBehaviour behaviour;
        ax::Element nameField, field;
        std::optional<int> looksUntilFocus;
    };

    void setEntry(const ax::Element& element, const std::string& attribute, Node::mapped_type entry);
    UiElement addNode(const ax::Element& parent, const std::string& list, const std::string& role);
    std::optional<workspace::RunningApplication> runningLocked(std::optional<int32_t> pid) const;
    ax::Element focusedLocked();
    void recordLocked(Record::What what);

    mutable std::mutex mutex_;
    std::map<int32_t, Application> applications_;
    std::optional<int32_t> frontmost_;
    std::optional<ax::Element> focus_;
    std::optional<Dialog> dialog_;
    std::vector<Record> records_;
};

}  // namespace companion::testing
