#include "platform/install_layout.h"

#include "packaging/install_layout.h"

namespace companion::layout {

namespace {

namespace fs = std::filesystem;

constexpr const char* ownExecutable = "/proc/self/exe";

std::optional<fs::path> besideExecutable(const char* relative) {
    auto executable = executablePath();
    if (!executable) return std::nullopt;
    std::error_code error;
    auto folder = fs::weakly_canonical(executable->parent_path() / relative, error);
    if (error || !fs::is_directory(folder, error)) return std::nullopt;
    return folder;
}

}  // namespace

std::optional<fs::path> executablePath() {
    std::error_code error;
    auto path = fs::read_symlink(ownExecutable, error);
    if (error) return std::nullopt;
    return path;
}

fs::path privateLibraryFolder() {
    if (auto installed = besideExecutable(privateLibrariesFromBin)) return *installed;
    auto executable = executablePath();
    return executable ? executable->parent_path() : fs::path();
}

std::optional<fs::path> packagedUnitFolder() { return besideExecutable(userUnitsFromBin); }

}  // namespace companion::layout
