#pragma once
// Remote storage as a local volume: one long-running rclone mount process per mount, the
// session's table of mounts that came up, the client's notice when one ends, and stopping them,
// on request or when the connection goes.

#include <string>
#include <string_view>
#include <vector>

#include "core/session.h"

namespace companion::storage {

// What one mount run needs once its request has been checked.
struct MountPlan {
    std::string remote;      // the resolved remote argument
    std::string mountPoint;  // standardised
    std::string volumeName;
    std::string logFile;
    bool readOnly = false;
};

// The log file of a mount, below the home folder: "rclone-" and the first 8 characters of the
// identifier (all of it when shorter), then ".log".
std::string mountLogFile(std::string_view home, std::string_view id);

// The rclone argument list of one mount, as this platform runs it.
std::vector<std::string> mountArguments(const MountPlan& plan);

// The line of a failed mount's log that the client gets: the last line holding "ERROR", "Fatal"
// or "CRITICAL", else the last line, else "". Empty lines do not count.
std::string failureLine(std::string_view log);

// Why a mount failed: the log's failure line when it has one, else the first line rclone
// printed before it ended (an option it refuses, say, never reaches the log), else the log's
// last line, else "".
std::string mountFailure(std::string_view log, std::string_view errorOutput);

// Ends a mount whose connection went: unmounts its folder (forcing only when the plain unmount
// left it mounted), then stops its rclone.
void endMount(CompanionSession& session, const MountEntry& mount);

// Fills the slots of `rcloneMountWithId`, `stopRcloneMountWithId` and `Services::endMount`, and
// those of the stale mounts.
void installMountServices(Services& services);

}  // namespace companion::storage
