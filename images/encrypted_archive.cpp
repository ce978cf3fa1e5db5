#include "images/encrypted_archive.h"

#include <filesystem>
#include <utility>
#include <vector>

#include "core/input_checks.h"
#include "images/disk_image_paths.h"
#include "images/vaults.h"

namespace companion::images {

using namespace service;

namespace {

constexpr std::string_view compressedImageOptions[] = {"create", "-format", "UDZO"};
constexpr const char* sourceOption = "-srcfolder";
constexpr std::string_view archiveExtension = ".dmg";
constexpr double archiveTimeLimitSeconds = 3600;

// Every item in standardised form, or none when any one is refused: an archive silently
// missing part of the selection would look like a success.
std::optional<std::vector<std::string>> checkedItems(const std::vector<std::string>& items) {
    if (items.empty()) return std::nullopt;
    std::vector<std::string> accepted;
    for (const std::string& item : items) {
        auto path = sanitizedPath(item, true);
        if (!path) return std::nullopt;
        accepted.push_back(std::move(*path));
    }
    return accepted;
}

std::optional<std::string> checkedDestination(std::string_view destination) {
    auto image = sanitizedNewImagePath(destination);
    if (!image || !image->ends_with(archiveExtension)) return std::nullopt;
    return image;
}

}  // namespace

std::string archiveVolumeName(std::string_view standardizedDestination) {
    return std::filesystem::path(standardizedDestination).stem().string();
}

std::optional<ToolRun> encryptedArchiveRun(const Platform& platform,
                                           const Args<msg::encryptedArchiveWithItems>& arguments) {
    const auto& [items, destination, password] = arguments;
    auto sources = checkedItems(items);
    auto image = checkedDestination(destination);
    if (!sources || !image) return std::nullopt;
    std::vector<std::string> toolArguments(std::begin(compressedImageOptions), std::end(compressedImageOptions));
    toolArguments.insert(toolArguments.end(), std::begin(encryptionOptions), std::end(encryptionOptions));
    toolArguments.insert(toolArguments.end(),
                         {std::string(stdinPasswordOption), volumeNameOption, archiveVolumeName(*image)});
    for (std::string& source : *sources) {
        toolArguments.push_back(sourceOption);
        toolArguments.push_back(std::move(source));
    }
    toolArguments.push_back(std::move(*image));
    return ToolRun{platform.tools.hdiutil, std::move(toolArguments), passwordInput(password), std::nullopt,
                   archiveTimeLimitSeconds};
}

void installArchiveServices(Services& services) {
    services.handlers.encryptedArchiveWithItems =
        &toolMessage<msg::encryptedArchiveWithItems, encryptedArchiveRun, statusAndErrorOutput>;
}

}  // namespace companion::images
