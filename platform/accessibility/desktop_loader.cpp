#include <dlfcn.h>

#include <filesystem>

#include "platform/accessibility/desktop.h"
#include "platform/install_layout.h"
#include "platform/log/log.h"

namespace companion::accessibility {

std::string desktopPluginPath() {
    const auto folder = layout::privateLibraryFolder();
    if (folder.empty()) return {};
    return (folder / desktopPluginName).string();
}

Desktop* LazyDesktop::get() {
    std::call_once(loaded_, [this] {
        const std::string path = desktopPluginPath();
        if (path.empty()) return;
        // Never closed: the desktop and its libraries live as long as the process.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return log::warn(log::Kind::pluginNotLoaded, std::string("the desktop plugin could not load: ") + ::dlerror());
        auto entry = reinterpret_cast<DesktopEntry>(::dlsym(handle, desktopEntryName));
        if (entry) entry(&desktop_);
    });
    return desktop_.get();
}

std::shared_ptr<LazyDesktop> lazySystemDesktop() { return std::make_shared<LazyDesktop>(); }

}  // namespace companion::accessibility
