#include "setup/desktop_entries.h"

#include <filesystem>
#include <sstream>

namespace companion::setup {

namespace {

constexpr const char* dataHomeVariable = "XDG_DATA_HOME";
constexpr const char* dataDirsVariable = "XDG_DATA_DIRS";
constexpr const char* defaultDataHome = "/.local/share";
constexpr const char* defaultDataDirs = "/usr/local/share:/usr/share";
constexpr const char* applicationsSubfolder = "/applications";

std::string valueOr(const Environment& environment, const char* name, const std::string& fallback) {
    auto found = environment.find(name);
    if (found == environment.end() || found->second.empty()) return fallback;
    return found->second;
}

}  // namespace

std::vector<std::string> applicationFolders(const Environment& environment, const std::string& home) {
    std::vector<std::string> folders;
    auto add = [&](std::string folder) {
        if (!folder.starts_with('/')) return;
        while (folder.size() > 1 && folder.ends_with('/')) folder.pop_back();
        folders.push_back(folder + applicationsSubfolder);
    };
    add(valueOr(environment, dataHomeVariable, home + defaultDataHome));
    std::istringstream dataDirs(valueOr(environment, dataDirsVariable, defaultDataDirs));
    for (std::string folder; std::getline(dataDirs, folder, ':');) add(folder);
    return folders;
}

std::optional<std::string> findDesktopEntry(const std::string& fileName, const std::vector<std::string>& folders) {
    for (const auto& folder : folders) {
        std::filesystem::path entry = std::filesystem::path(folder) / fileName;
        std::error_code error;
        if (std::filesystem::is_regular_file(entry, error)) return entry.string();
    }
    return std::nullopt;
}

}  // namespace companion::setup
