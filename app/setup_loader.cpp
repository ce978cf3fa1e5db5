#include "app/setup_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace companion::app {

namespace {

constexpr const char* ownExecutable = "/proc/self/exe";

}  // namespace

std::variant<setup::Entry, std::string> loadSetupEntry() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink(ownExecutable, error);
    if (error) return "cannot find the executable's folder: " + error.message();
    // A fixed file beside the executable, never a search through the library path.
    auto library = executable.parent_path() / setup::libraryName;
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
