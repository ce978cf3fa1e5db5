// The desktop plugin: the accessibility interface over the session's accessibility bus
// (libatspi), and keys, windows and the screen through the X server (Xlib, XTest); on a Wayland
// session, with no X server, the dialogs' own accessible actions stand for the keys.
//
// Three parts behind one lock: `Elements` reads other applications, `KeyDriver` drives their
// file dialogs with the assistant's keys, and the window system's questions (who is in front,
// bringing a window forward, the file manager) are answered here.

#include <chrono>
#include <memory>

#include "desktop/atspi_calls.h"
#include "desktop/atspi_session.h"
#include "desktop/elements.h"
#include "desktop/file_managers.h"
#include "desktop/key_driver.h"
#include "desktop/nautilus.h"
#include "platform/accessibility/desktop.h"

namespace companion::desktop {

namespace {

class LinuxDesktop final : public Desktop, public Accessibility {
public:
    Accessibility& accessibility() override { return *this; }

    // ---- the accessibility interface ----

    // The prompt is ignored: turning the switch on is a lasting change of the user's desktop that
    // only the user's own act (the setup window's button) may make.
    bool isProcessTrusted(bool) override {
        std::lock_guard lock(session_.mutex);
        return session_.trusted();
    }
    Element applicationElement(int32_t pid) override { return Element{pid, 0, std::nullopt}; }
    Element systemWideElement() override { return Element{}; }

    AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override {
        std::lock_guard lock(session_.mutex);
        return elements_.read(element, attribute);
    }
    Error setAttributeValue(const Element& element, std::string_view attribute, const std::string& value) override {
        std::lock_guard lock(session_.mutex);
        std::optional<FilledField> filled;
        const Error error = elements_.setValue(element, attribute, value, filled);
        if (filled) keys_.filled(std::move(*filled));
        return error;
    }
    std::optional<std::vector<std::string>> publishedWindowDocuments(const Element& application) override {
        std::lock_guard lock(session_.mutex);
        if (executableName(application.pid) != nautilusProgram) return std::nullopt;
        const auto limit = std::chrono::duration<double>(application.messagingTimeout.value_or(defaultMessagingTimeout));
        return nautilusWindowLocations(session_.sessionBus(), application.pid,
                                       std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    }
    void postKeyboardEvent(const KeyboardEvent& event) override {
        std::lock_guard lock(session_.mutex);
        keys_.post(event);
    }
    double mainDisplayHeight() override {
        std::lock_guard lock(session_.mutex);
        return session_.x.screenHeight();
    }

    // ---- the window system ----

    // The portal's dialog in front stands for the program that asked for it.
    std::optional<int32_t> frontmostPid() override {
        std::lock_guard lock(session_.mutex);
        const auto focused = session_.frontPid();
        if (focused && portalFront_ && focused == portalFront_->backEnd) return portalFront_->program;
        return focused;
    }
    bool activate(int32_t pid) override {
        std::lock_guard lock(session_.mutex);
        portalFront_.reset();
        // No client may bring another's window forward on Wayland; none needs to be in front
        // when its dialog is driven through the bus.
        if (session_.keyless()) return keylessActivate(pid);
        auto portal = session_.started() ? session_.portalDialogOf(pid) : std::nullopt;
        if (!portal) return broughtForward(pid);
        portalFront_ = PortalFront{portal->backEnd, pid};
        return broughtForward(portal->backEnd);
    }
    void beep() override {
        std::lock_guard lock(session_.mutex);
        session_.x.bell();
    }
    std::vector<int32_t> fileManagerPids() override {
        std::lock_guard lock(session_.mutex);
        if (!session_.trusted() || !session_.started()) return {};
        // Only those on this session's bus: the same program may run for other sessions.
        const std::string program = fileManagerProgram();
        std::vector<int32_t> pids;
        for (auto& app : session_.applications()) {
            CallError error;
            const auto pid = static_cast<int32_t>(atspi_accessible_get_process_id(app.get(), error.out()));
            if (!error && executableName(pid) == program) pids.push_back(pid);
        }
        return pids;
    }
    bool switchOnAssistiveTechnologies() override {
        std::lock_guard lock(session_.mutex);
        return session_.switchOn();
    }

private:
    // The focus is looked for at once: the navigation reads it next.
    bool broughtForward(int32_t pid) {
        if (!session_.x.activate(pid)) return false;
        if (session_.started()) keys_.findFocusOf(pid);
        return true;
    }
    bool keylessActivate(int32_t pid) {
        session_.keylessFront.reset();
        if (!session_.started() || !session_.applicationOf(pid)) return false;
        session_.keylessFront = AtspiSession::KeylessFront{pid};
        return true;
    }

    // The portal back end last brought forward for a program's dialog.
    struct PortalFront {
        int32_t backEnd;
        int32_t program;
    };

    AtspiSession session_;
    std::optional<PortalFront> portalFront_;
    Elements elements_{session_};
    KeyDriver keys_{session_};
};

}  // namespace

}  // namespace companion::desktop

extern "C" __attribute__((visibility("default"))) void companionCreateDesktop(
    std::unique_ptr<companion::accessibility::Desktop>* out) {
    *out = std::make_unique<companion::desktop::LinuxDesktop>();
}
