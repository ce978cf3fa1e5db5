#include "app/setup_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

#include "platform/install_layout.h"

namespace companion::app {

std::variant<setup::Entry, std::string> loadSetupEntry() {
    // A fixed file in the program's own library folder, never a search through the library path.
    auto library = layout::privateLibraryFolder() / setup::libraryName;
    // The library lives as long as the process: it is never closed.
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return std::string(::dlerror());
    void* entry = ::dlsym(handle, setup::entryName);
    if (!entry) return std::string(::dlerror());
    return reinterpret_cast<setup::Entry>(entry);
}

int runSetup(int argc, char** argv, const setup::EntryHooks* hooks) {
    auto entry = loadSetupEntry();
    if (auto* problem = std::get_if<std::string>(&entry)) {
        std::fprintf(stderr, "tavro-companion: the setup window cannot be loaded: %s\n", problem->c_str());
        return exitSetupUnavailable;
    }
    return std::get<setup::Entry>(entry)(argc, argv, hooks);
}

}  // namespace companion::app
