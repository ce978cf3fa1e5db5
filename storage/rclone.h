#pragma once
// Finding rclone, the environment every rclone run gets, and the remotes configured in it.
//
// Nothing is remembered: each request looks again, so an rclone installed or removed while the
// agent runs is seen by the next request.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_runner.h"
#include "platform/platform.h"

namespace companion::storage {

// One remote of rclone's own configuration.
struct RemoteEntry {
    std::string name;  // without the trailing colon
    std::string type;  // the storage type rclone reports; may be empty
    bool operator==(const RemoteEntry&) const = default;
};

// The failure text of a request that needs rclone when none is found.
inline constexpr std::string_view rcloneMissingText = "rclone";

// The first executable regular file among the candidate locations of the platform's tool table:
// its absolute candidates, then its home-relative ones joined to the home folder.
std::optional<std::string> locateRclone(const Platform& platform);

// The complete environment of one rclone run: the agent's own environment with the fixed search
// path, then every entry of `extra` (which wins over both).
Environment rcloneEnvironment(const Platform& platform, const Environment& extra = {});

// The entries of a "listremotes --long" listing, in its order. Lines that do not hold a name, a
// colon and something after it are skipped.
std::vector<RemoteEntry> parseRemoteList(std::string_view text);

// The configured remotes; empty when rclone is absent or fails. Blocks for one rclone run.
std::vector<RemoteEntry> listRemotes(const Platform& platform);

// The rule for the name of a configured remote: a letter, digit or "_", then any of those,
// ".", " " or "-", over the whole text.
bool isRemoteName(std::string_view name);

}  // namespace companion::storage
