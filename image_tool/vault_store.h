#pragma once
// What a vault is on disk, and where attached vaults are found.
//
// A vault is a folder whose name ends in ".sparsebundle" holding two things: "store", the
// gocryptfs folder (AES-256-GCM contents, encrypted names, the key wrapped by the password in
// its gocryptfs.conf), and "vault.json", our description of the volume (its name, its maximum
// size). Which vault sits at which mount point is recorded in the mount table itself: every
// vault is mounted with its image's path as the file system's source, so the record can never
// outlive the mount nor miss one.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace companion::image_tool {

inline constexpr const char* vaultExtension = ".sparsebundle";
inline constexpr const char* storeFolderName = "store";
inline constexpr const char* descriptionFileName = "vault.json";
inline constexpr const char* storeConfigName = "gocryptfs.conf";
inline constexpr const char* vaultFileSystemType = "fuse.gocryptfs";

struct VaultDescription {
    std::string volumeName;
    int64_t maximumGB = 0;
    bool operator==(const VaultDescription&) const = default;
};

std::string descriptionText(const VaultDescription& description);
// The description read back, or why it cannot be.
std::variant<VaultDescription, std::string> parseDescription(const std::string& text);
std::variant<VaultDescription, std::string> readVault(const std::string& image);

// A volume name that can be a mount point's name: not empty, no "/", not "." or "..", no
// control character.
bool isUsableVolumeName(const std::string& name);

// The image's path as a mount's source, and back: the mount options that carry it are separated
// by commas, so commas (and the escape itself) are escaped.
std::string sourceOfImage(const std::string& image);
std::string imageOfSource(const std::string& source);

// The system's mount table, escapes decoded.
inline std::vector<MountTableEntry> mountEntries() { return systemMountEntries(); }

struct AttachedVault {
    std::string image;
    std::string mountPoint;
    std::string source;
};

// The vaults of this tool that are mounted now, in the mount table's order.
std::vector<AttachedVault> attachedVaults(const std::vector<MountTableEntry>& table);

}  // namespace companion::image_tool
