#pragma once
// Mount processes left over from an earlier agent: found in the system's process list by the
// shape of their command line, listed for the host, and ended on its request.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/session.h"

namespace companion::storage {

struct StaleMount {
    int32_t pid = 0;
    std::string remote;      // as written on the process's command line
    std::string mountPoint;
    bool operator==(const StaleMount&) const = default;
};

// One stale mount with the command line the process list showed for it.
struct ScannedMount {
    StaleMount mount;
    std::string commandLine;
};

// The mount processes of a "pid=,args=" process listing whose mount point lies under one of
// `roots`, in listing order.
std::vector<ScannedMount> parseStaleMounts(std::string_view listing, const std::vector<std::string>& roots);

// The mount processes running now; empty when the process list cannot be read.
std::vector<ScannedMount> scanStaleMounts(const Platform& platform);
std::vector<StaleMount> findStaleMounts(const Platform& platform);

// The list as the host reads it: pid, tab, remote, tab, mount point per mount; lines joined by
// line feeds with none after the last.
std::string formatStaleMounts(const std::vector<StaleMount>& mounts);

// True when `arguments`, joined as the process list joins them, read as `commandLine`; the
// list shows a character it cannot print as "?".
bool showsAs(const std::vector<std::string>& arguments, std::string_view commandLine);

// Fills the slots of `staleRcloneMountsWithReply` and `stopStaleRcloneMountWithPid`.
void installStaleMountServices(Services& services);

}  // namespace companion::storage
