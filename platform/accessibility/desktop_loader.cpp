#include <dlfcn.h>

#include <filesystem>

#include "platform/accessibility/desktop.h"

namespace companion::accessibility {

namespace {
constexpr const char* ownExecutable = "/proc/self/exe";
}  // namespace

std::string desktopPluginPath() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink(ownExecutable, error);
    if (error) return {};
    return (executable.parent_path() / desktopPluginName).string();
}

Desktop* LazyDesktop::get() {
    std::call_once(loaded_, [this] {
        const std::string path = desktopPluginPath();
        if (path.empty()) return;
        // Never closed: the desktop and its libraries live as long as the process.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        auto entry = reinterpret_cast<DesktopEntry>(::dlsym(handle, desktopEntryName));
        if (entry) entry(&desktop_);
    });
    return desktop_.get();
}

std::shared_ptr<LazyDesktop> lazySystemDesktop() { return std::make_shared<LazyDesktop>(); }

}  // namespace companion::accessibility
