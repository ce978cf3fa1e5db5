#include "images/vaults.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/input_checks.h"
#include "images/disk_image_paths.h"

namespace companion::images {

using namespace service;

namespace {

constexpr const char* createCommand = "create";
constexpr std::string_view sparseBundleOptions[] = {"-type", "SPARSEBUNDLE", "-fs", "APFS"};
constexpr const char* sizeOption = "-size";
constexpr const char* gigabyteSuffix = "g";
constexpr std::string_view sparseBundleExtension = ".sparsebundle";
constexpr int64_t smallestVaultGB = 1;
constexpr int64_t largestVaultGB = 16384;
constexpr char pathSeparator = '/';
constexpr double createTimeLimitSeconds = 600;

constexpr std::string_view attachOptions[] = {"attach", "-plist", stdinPasswordOption};
constexpr const char* hiddenOption = "-nobrowse";
constexpr double attachTimeLimitSeconds = 300;

constexpr const char* detachCommand = "detach";
constexpr const char* forceOption = "-force";
constexpr double detachTimeLimitSeconds = 30;

constexpr std::string_view infoArguments[] = {"info", "-plist"};
constexpr double infoTimeLimitSeconds = 15;

bool isAcceptableVaultSize(int64_t gigabytes) {
    return gigabytes >= smallestVaultGB && gigabytes <= largestVaultGB;
}

bool isAcceptableVolumeName(std::string_view name) {
    return !name.empty() && name.find(pathSeparator) == std::string_view::npos;
}

std::optional<std::string> checkedNewVaultPath(std::string_view path) {
    auto image = sanitizedNewImagePath(path);
    if (!image || !image->ends_with(sparseBundleExtension)) return std::nullopt;
    return image;
}

std::tuple<int32_t, std::string, std::string> wholeResult(const CommandResult& result) {
    return {result.status, result.output, result.errorOutput};
}

// The tool says on either stream why a detach failed; the host gets both, as one text.
std::tuple<int32_t, std::string> statusAndBothOutputs(const CommandResult& result) {
    return {result.status, result.output + result.errorOutput};
}

}  // namespace

Bytes passwordInput(std::string_view password) {
    Bytes input(password.begin(), password.end());
    input.push_back(0);
    return input;
}

std::optional<ToolRun> vaultCreateRun(const Platform& platform, const Args<msg::vaultCreateWithPath>& arguments) {
    const auto& [path, volumeName, maxGB, password] = arguments;
    auto image = checkedNewVaultPath(path);
    if (!image || !isAcceptableVaultSize(maxGB) || !isAcceptableVolumeName(volumeName)) return std::nullopt;
    std::vector<std::string> toolArguments{createCommand};
    toolArguments.insert(toolArguments.end(), std::begin(sparseBundleOptions), std::end(sparseBundleOptions));
    toolArguments.insert(toolArguments.end(), std::begin(encryptionOptions), std::end(encryptionOptions));
    toolArguments.insert(toolArguments.end(), {sizeOption, std::to_string(maxGB) + gigabyteSuffix, volumeNameOption,
                                               volumeName, std::string(stdinPasswordOption), *image});
    return ToolRun{platform.tools.hdiutil, std::move(toolArguments), passwordInput(password), std::nullopt,
                   createTimeLimitSeconds};
}

std::optional<ToolRun> vaultAttachRun(const Platform& platform, const Args<msg::vaultAttachWithPath>& arguments) {
    const auto& [path, password, hidden] = arguments;
    auto image = sanitizedPath(path, true);
    if (!image) return std::nullopt;
    std::vector<std::string> toolArguments(std::begin(attachOptions), std::end(attachOptions));
    if (hidden) toolArguments.push_back(hiddenOption);
    toolArguments.push_back(std::move(*image));
    return ToolRun{platform.tools.hdiutil, std::move(toolArguments), passwordInput(password), std::nullopt,
                   attachTimeLimitSeconds};
}

std::optional<ToolRun> vaultDetachRun(const Platform& platform,
                                      const Args<msg::vaultDetachWithMountPoint>& arguments) {
    const auto& [mountPoint, force] = arguments;
    auto volume = sanitizedPath(mountPoint, true);
    if (!volume || !platform.mountTable().contains(*volume)) return std::nullopt;
    std::vector<std::string> toolArguments{detachCommand};
    if (force) toolArguments.push_back(forceOption);
    toolArguments.push_back(std::move(*volume));
    return ToolRun{platform.tools.hdiutil, std::move(toolArguments), std::nullopt, std::nullopt,
                   detachTimeLimitSeconds};
}

std::optional<ToolRun> attachedImagesRun(const Platform& platform, const Args<msg::attachedImagesWithReply>&) {
    return ToolRun{platform.tools.hdiutil, {std::begin(infoArguments), std::end(infoArguments)}, std::nullopt,
                   std::nullopt, infoTimeLimitSeconds};
}

void installVaultServices(Services& services) {
    auto& handlers = services.handlers;
    handlers.vaultCreateWithPath = &toolMessage<msg::vaultCreateWithPath, vaultCreateRun, statusAndErrorOutput>;
    handlers.vaultAttachWithPath = &toolMessage<msg::vaultAttachWithPath, vaultAttachRun, wholeResult>;
    handlers.vaultDetachWithMountPoint =
        &toolMessage<msg::vaultDetachWithMountPoint, vaultDetachRun, statusAndBothOutputs>;
    // The property list is the host's to read, whatever the tool's status.
    handlers.attachedImagesWithReply = &toolMessage<msg::attachedImagesWithReply, attachedImagesRun, standardOutput>;
}

}  // namespace companion::images
