#include "desktop/file_managers.h"

#include <gio/gio.h>

#include <algorithm>
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
// How deep a file manager's location bar may lie in its window: Thunar's entry is 6 levels down,
// Nemo's path bar 9 and its entry (when the user chose one) 10.
constexpr int locationBarDepth = 12;
constexpr std::string_view fileUrlPrefix = "file://";
constexpr std::string_view urlSafeCharacters = "/-._~";

std::optional<std::string> locationEntryPath(AtspiAccessible* element) {
    if (!isEditableText(element)) return std::nullopt;
    auto text = textOf(element);
    if (!text || !text->starts_with('/')) return std::nullopt;
    return text;
}

std::optional<std::string> pathBarPath(AtspiAccessible* element) {
    auto buttons = pathBarOf(element);
    if (!buttons) return std::nullopt;
    return pathOfPathBar(*buttons);
}

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
        auto path = locationEntryPath(element);
        if (!path) path = pathBarPath(element);
        if (path) folder = fileUrl(*path);
        return path.has_value();
    });
    return folder;
}

std::optional<std::vector<PathButton>> pathBarOf(AtspiAccessible* button) {
    if (!isRole(button, ATSPI_ROLE_TOGGLE_BUTTON) || !hasState(button, ATSPI_STATE_CHECKED)) return std::nullopt;
    AccessibleRef bar = parentOf(button);
    if (!bar) return std::nullopt;
    CallError error;
    std::vector<PathButton> buttons;
    for (auto& child : childrenOf(bar.get(), error)) {
        buttons.push_back({nameOf(child.get()), isRole(child.get(), ATSPI_ROLE_TOGGLE_BUTTON),
                           hasState(child.get(), ATSPI_STATE_CHECKED)});
    }
    if (error) return std::nullopt;
    return buttons;
}

std::optional<std::string> pathOfPathBar(const std::vector<PathButton>& buttons) {
    // The root's button is the last folder button; every named one before it is a folder below.
    auto root = std::find_if(buttons.rbegin(), buttons.rend(), [](const PathButton& b) { return b.toggle; });
    if (root == buttons.rend() || !root->name.empty()) return std::nullopt;
    std::string path;
    for (auto button = root; button != buttons.rend(); ++button) {
        if (!button->toggle) return std::nullopt;
        if (button != root) {
            if (button->name.empty() || button->name.find('/') != std::string::npos) return std::nullopt;
            path += '/' + button->name;
        }
        if (button->checked) return path.empty() ? "/" : path;
    }
    return std::nullopt;
}

}  // namespace companion::desktop
