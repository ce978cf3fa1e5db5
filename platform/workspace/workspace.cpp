#include "platform/workspace/workspace.h"

#include <signal.h>

#include <cerrno>

#include "platform/accessibility/desktop.h"

namespace companion::workspace {

namespace {

// Processes come from the kernel; who is in front, bringing forward, the alert and the file manager
// from the desktop plugin, loaded only when one of those is asked for. This desktop has no registry
// of applications by bundle identifier: only the file manager (the Finder's identifier) is found,
// and nothing is located or opened.
class SystemWorkspace final : public Workspace {
public:
    explicit SystemWorkspace(std::shared_ptr<accessibility::LazyDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::optional<RunningApplication> runningApplication(int32_t pid) const override {
        if (pid <= 0) return std::nullopt;
        // A signal that is never sent: it only asks whether the process exists.
        if (::kill(pid, 0) != 0 && errno != EPERM) return std::nullopt;
        return RunningApplication{pid, {}};
    }
    std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) const override {
        if (bundleIdentifier != fileManagerBundleIdentifier) return {};
        auto* desktop = desktop_->get();
        if (!desktop) return {};
        std::vector<RunningApplication> found;
        for (int32_t pid : desktop->fileManagerPids()) found.push_back({pid, std::string(bundleIdentifier)});
        return found;
    }
    std::optional<RunningApplication> frontmostApplication() const override {
        auto* desktop = desktop_->get();
        auto pid = desktop ? desktop->frontmostPid() : std::nullopt;
        if (!pid) return std::nullopt;
        return RunningApplication{*pid, {}};
    }
    bool activate(int32_t pid) override {
        auto* desktop = desktop_->get();
        return desktop && desktop->activate(pid);
    }
    void terminate(int32_t) override {}
    std::optional<std::string> applicationLocation(std::string_view) const override { return std::nullopt; }
    void openApplication(const std::string&, std::function<void(bool)> completion) override { completion(false); }
    bool openAddress(const std::string&) override { return false; }
    void beep() override {
        if (auto* desktop = desktop_->get()) desktop->beep();
    }

private:
    std::shared_ptr<accessibility::LazyDesktop> desktop_;
};

}  // namespace

std::shared_ptr<Workspace> systemWorkspace(std::shared_ptr<accessibility::LazyDesktop> desktop) {
    return std::make_shared<SystemWorkspace>(std::move(desktop));
}

}  // namespace companion::workspace
