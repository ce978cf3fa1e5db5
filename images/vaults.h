#pragma once
// Encrypted vaults (growable encrypted sparse bundles) and the list of attached images, all
// through the system's disk-image tool.

#include <optional>
#include <string_view>

#include "core/tool_message.h"

namespace companion::images {

// A password as the disk-image tool reads it with "-stdinpass": its UTF-8 bytes and one zero
// byte, nothing else.
Bytes passwordInput(std::string_view password);

// The disk-image tool's option naming the volume of an image it creates.
inline constexpr const char* volumeNameOption = "-volname";

// The run each message makes, or none when its arguments are refused.
std::optional<ToolRun> vaultCreateRun(const Platform& platform,
                                      const service::Args<service::msg::vaultCreateWithPath>& arguments);
std::optional<ToolRun> vaultAttachRun(const Platform& platform,
                                      const service::Args<service::msg::vaultAttachWithPath>& arguments);
std::optional<ToolRun> vaultDetachRun(const Platform& platform,
                                      const service::Args<service::msg::vaultDetachWithMountPoint>& arguments);
std::optional<ToolRun> attachedImagesRun(const Platform& platform,
                                         const service::Args<service::msg::attachedImagesWithReply>& arguments);

// vaultCreateWithPath, vaultAttachWithPath, vaultDetachWithMountPoint, attachedImagesWithReply.
void installVaultServices(Services& services);

}  // namespace companion::images
