#include "images/disk_image_paths.h"

#include <filesystem>
#include <system_error>

#include "core/input_checks.h"

namespace companion::images {

namespace {

std::string parentFolder(const std::string& standardized) {
    return std::filesystem::path(standardized).parent_path().string();
}

bool somethingAt(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found;
}

}  // namespace

std::optional<std::string> sanitizedNewImagePath(std::string_view path) {
    auto image = sanitizedPath(path, false);
    if (!image || somethingAt(*image)) return std::nullopt;
    if (!sanitizedDirectory(parentFolder(*image))) return std::nullopt;
    return image;
}

}  // namespace companion::images
