#pragma once
// Connection descriptions: how the host describes one storage connection, and what a
// description becomes for one rclone run.
//
// The agent stores no connection. Each request turns the description it carries into the remote
// argument rclone understands (an on-the-fly remote with its parameters inline, or a configured
// remote's name) and the extra environment that carries its secrets. A description that breaks
// any rule is refused whole and silently.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/command_runner.h"
#include "platform/platform.h"

namespace companion::storage {

// Keys are case-sensitive; unknown keys are ignored, and an optional key holding the empty text
// counts as absent.
using ConnectionDescription = std::map<std::string, std::string>;

struct ResolvedConnection {
    std::string remote;       // the location argument for rclone, path included
    Environment environment;  // extra variables for `rcloneEnvironment`; empty without secrets
    bool operator==(const ResolvedConnection&) const = default;
};

// A parameter value as an on-the-fly remote needs it: in double quotes, inner quotes doubled.
std::string quoteParameter(std::string_view value);

// The resolved form of `description` for a run on `path` (used verbatim); none when refused.
// May block: a configured remote is checked against rclone's listing, and an SFTP password is
// obscured by rclone.
std::optional<ResolvedConnection> resolveConnection(const Platform& platform,
                                                    const ConnectionDescription& description,
                                                    std::string_view path);

// The password in the form rclone expects in its environment; none when rclone is missing or
// fails, or when the password cannot travel to it as one line.
std::optional<std::string> obscurePassword(const Platform& platform, std::string_view password);

// The remote path the description carries for its connection test and mounts; "" when absent.
std::string descriptionPath(const ConnectionDescription& description);

// True for an SFTP server, which is always mounted from its root.
bool isSftpDescription(const ConnectionDescription& description);

}  // namespace companion::storage
