#pragma once
// How a remote is mounted on this platform: the rclone command, and how each option of the
// mount's argument list is carried by it.
//
// The argument list the storage layer builds asks for a network mount with network-mount
// options. Here the mount is a FUSE mount ("rclone mount", through fuse3's fusermount3 and
// /dev/fuse, so no root is needed), and each network-mount option is either carried by the
// FUSE option with the same intent or left out, one row each below; docs/mounts.md has the
// same table.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace companion::mounts {

// The rclone command that mounts a remote here; the process list shows it after the program.
inline constexpr std::string_view rcloneMountCommand = "mount";

// One option of the described list: what it becomes here (nothing when it is left out) and why.
struct CarriedOption {
    std::vector<std::string_view> described;
    std::vector<std::string_view> carried;
    std::string_view reason;
};

std::span<const CarriedOption> carriedOptions();

// The options that run here for a described group of the mount's own fixed options (never for
// the client's values, which pass as they are): each row of the table replaced where its words
// occur together, every other option kept.
std::vector<std::string> platformMountOptions(std::span<const std::string_view> described);

}  // namespace companion::mounts
