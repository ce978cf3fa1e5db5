#pragma once
// Running applications and the desktop's launcher: who runs, who is in front, bring one forward,
// ask one to quit, find and open an application, open an address, sound the alert.
//
// One facility for every subsystem that needs it (the dialog assistant, the Finder actions, the
// setup window). The system implementation answers for this desktop; tests use a double.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion::accessibility {
class LazyDesktop;
}

namespace companion::workspace {

// The file manager's bundle identifier; on this desktop it names the desktop's handler of folders.
inline constexpr std::string_view fileManagerBundleIdentifier = "com.apple.finder";

struct RunningApplication {
    int32_t pid = 0;
    std::string bundleIdentifier;
    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;

    virtual std::optional<RunningApplication> runningApplication(int32_t pid) const = 0;
    virtual std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) const = 0;
    virtual std::optional<RunningApplication> frontmostApplication() const = 0;
    // Brings the application forward; false when it cannot be.
    virtual bool activate(int32_t pid) = 0;
    // A polite request to quit; the answer is not awaited.
    virtual void terminate(int32_t pid) = 0;
    // Where the application with this bundle identifier is installed; absent when nowhere.
    virtual std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) const = 0;
    // Opens the application at `location`; `completion` gets true when no error was reported and
    // may run on any thread.
    virtual void openApplication(const std::string& location, std::function<void(bool)> completion) = 0;
    // Opens an address with the desktop's handler; false when nothing took it.
    virtual bool openAddress(const std::string& address) = 0;
    virtual void beep() = 0;
};

// This desktop's answers; the window system's through the desktop plugin, loaded on first use.
std::shared_ptr<Workspace> systemWorkspace(std::shared_ptr<accessibility::LazyDesktop> desktop);

}  // namespace companion::workspace
