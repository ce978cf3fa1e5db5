#include "desktop/file_managers.h"

#include <gio/gio.h>

#include <cctype>
#include <filesystem>

#include "desktop/atspi_calls.h"

namespace companion::desktop {

namespace {

// The file manager when the desktop names none for folders.
constexpr const char* fallbackFileManager = "pcmanfm";
constexpr const char* folderContentType = "inode/directory";
constexpr const char* processFolder = "/proc";
constexpr const char* executableLink = "exe";
// How deep a file manager's location bar may lie in its window.
constexpr int locationBarDepth = 10;
constexpr std::string_view fileUrlPrefix = "file://";
constexpr std::string_view urlSafeCharacters = "/-._~";

}  // namespace

std::string fileManagerProgram() {
    GAppInfo* handler = g_app_info_get_default_for_type(folderContentType, FALSE);
    if (!handler) return fallbackFileManager;
    const char* executable = g_app_info_get_executable(handler);
    std::string program = executable ? std::filesystem::path(executable).filename().string() : "";
    g_object_unref(handler);
    return program.empty() ? fallbackFileManager : program;
}

std::string executableName(int32_t pid) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(
        std::filesystem::path(processFolder) / std::to_string(pid) / executableLink, error);
    return error ? std::string{} : target.filename().string();
}

std::string fileUrl(std::string_view path) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string url(fileUrlPrefix);
    for (unsigned char c : path) {
        if (std::isalnum(c) || urlSafeCharacters.find(static_cast<char>(c)) != std::string_view::npos) {
            url.push_back(static_cast<char>(c));
            continue;
        }
        url += '%';
        url += hex[c >> 4];
        url += hex[c & 0xF];
    }
    return url;
}

std::optional<std::string> shownFolderUrl(AtspiAccessible* window) {
    std::optional<std::string> folder;
    findBelow(window, locationBarDepth, [&folder](AtspiAccessible* element) {
        if (!isEditableText(element)) return false;
        auto text = textOf(element);
        if (!text || !text->starts_with('/')) return false;
        folder = fileUrl(*text);
        return true;
    });
    return folder;
}

}  // namespace companion::desktop
