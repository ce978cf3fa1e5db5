#pragma once
// Encrypted archives: files and folders packed into one compressed, encrypted disk image in a
// single run of the disk-image tool, straight from where they are.

#include <optional>
#include <string>
#include <string_view>

#include "core/tool_message.h"

namespace companion::images {

// The name of the archive's volume: the destination's last component without its extension.
std::string archiveVolumeName(std::string_view standardizedDestination);

// The run, or none when the arguments are refused.
std::optional<ToolRun> encryptedArchiveRun(const Platform& platform,
                                           const service::Args<service::msg::encryptedArchiveWithItems>& arguments);

void installArchiveServices(Services& services);

}  // namespace companion::images
