#pragma once
// Copying or mirroring a local folder to a configured rclone remote: one rclone process per
// request, its log streamed to the client line by line while it runs, cancellation by the
// client, and rclone's termination status as the reply.
//
// In mirror mode, what the mirror would overwrite or delete can be moved into a dated trash
// folder on a remote instead of being lost.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/session.h"

namespace companion::storage {

// What one sync run does, once every check has passed.
struct SyncPlan {
    std::string source;       // the standardised local folder
    std::string destination;  // "remote:path", as the client sent it
    bool mirror = false;      // sync (deletes on the destination) rather than copy
    bool checksum = false;
    std::vector<std::string> excludes;     // rclone filter patterns
    std::optional<std::string> trashRoot;  // "remote:path"; used by mirror runs only
    bool dryRun = false;
};

using SystemTime = std::chrono::system_clock::time_point;

// The moment of a run as it names its trash folder: the UTC internet date-time
// "YYYY-MM-DDTHH:MM:SSZ" with every ":" made "-", since a colon would read as a remote name
// separator in an rclone path and is refused in file names by many remotes.
std::string trashTimestamp(SystemTime moment);

// The folder into which a mirror run started at `moment` moves what it replaces:
// <trashRoot>[/].vrel-corbeille/<last component of source>/<timestamp>, the "/" only where the
// root does not already end with ":" or "/".
std::string trashDirectory(std::string_view trashRoot, std::string_view source, SystemTime moment);

// The rclone argument list of a run started at `moment`.
std::vector<std::string> syncArguments(const SyncPlan& plan, SystemTime moment);

// Cuts a byte stream into lines at every line feed. Bytes after the last line feed wait for the
// next chunk; a final piece that never gets its line feed is never returned.
class LogLineSplitter {
public:
    // The lines that `chunk` completes, in order, without their line feeds and decoded as
    // UTF-8 with invalid sequences replaced. Empty lines are kept; a carriage return stays.
    std::vector<std::string> append(std::string_view chunk);

private:
    std::string pending_;
};

// Fills the slots of `rcloneSyncWithId` and `cancelSyncWithId`.
void installSyncServices(Services& services);

}  // namespace companion::storage
