#pragma once
// The desktop behind the dialog assistant: other applications' elements (the accessibility
// interface) and what only the window system knows (who is in front, bringing a window forward,
// the keyboard, the alert).
//
// Its implementation lives in a plugin of its own, loaded on first use, so that an agent that
// never serves the assistant never maps the accessibility bus, GLib or X11.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility/accessibility.h"

namespace companion::accessibility {

class Desktop {
public:
    virtual ~Desktop() = default;

    virtual Accessibility& accessibility() = 0;
    // The process that owns the window in front (the one with the keyboard), if any.
    virtual std::optional<int32_t> frontmostPid() = 0;
    // Brings the process's window forward and gives it the keyboard; false when it has none.
    virtual bool activate(int32_t pid) = 0;
    // The processes of the desktop's file manager that show windows on the accessibility bus.
    virtual std::vector<int32_t> fileManagerPids() = 0;
    virtual void beep() = 0;
    // Turns the desktop's assistive-technology switch on: a lasting setting, for the user's
    // explicit act only. False when the switch cannot be reached.
    virtual bool switchOnAssistiveTechnologies() = 0;
};

// The plugin's file: a fixed place beside the executable, never a search through the library path.
std::string desktopPluginPath();
inline constexpr const char* desktopPluginName = "libtavro-companion-ax.so";
// The plugin's one exported symbol: fills `out` with a new desktop.
inline constexpr const char* desktopEntryName = "companionCreateDesktop";
using DesktopEntry = void (*)(std::unique_ptr<Desktop>* out);

// Loads the plugin on the first call that needs it and keeps it for the process's life. When it
// cannot be loaded, every later call answers as a desktop with nothing on it would.
class LazyDesktop {
public:
    // None when the plugin cannot be loaded.
    Desktop* get();

private:
    std::once_flag loaded_;
    std::unique_ptr<Desktop> desktop_;
};

// One per process context, shared by the accessibility and the workspace.
std::shared_ptr<LazyDesktop> lazySystemDesktop();

}  // namespace companion::accessibility
