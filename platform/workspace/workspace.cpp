#include "platform/workspace/workspace.h"

namespace companion::workspace {

namespace {

// Linux desktops have no registry of running applications by bundle identifier and no Finder:
// nothing runs that the agent could drive, nothing is found, and nothing is opened.
class SystemWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> runningApplication(int32_t) const override { return std::nullopt; }
    std::vector<RunningApplication> runningApplications(std::string_view) const override { return {}; }
    std::optional<RunningApplication> frontmostApplication() const override { return std::nullopt; }
    bool activate(int32_t) override { return false; }
    void terminate(int32_t) override {}
    std::optional<std::string> applicationLocation(std::string_view) const override { return std::nullopt; }
    void openApplication(const std::string&, std::function<void(bool)> completion) override { completion(false); }
    bool openAddress(const std::string&) override { return false; }
    void beep() override {}
};

}  // namespace

std::shared_ptr<Workspace> systemWorkspace() { return std::make_shared<SystemWorkspace>(); }

}  // namespace companion::workspace
