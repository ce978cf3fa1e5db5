#pragma once
// Who is at the other end of an accepted connection, as the kernel tells it, never as the peer
// says: its pid and uid, and the identity of the sandbox it runs in (a Flatpak application
// identifier, an AppArmor profile such as a Snap's).
//
// The process is held through a pidfd taken from the socket (`SO_PEERPIDFD`), or on kernels
// without it from the pid, checked to be the same process; whatever is read about it goes
// through its own `/proc` folder while it is known to be alive, so a pid that has been reused
// is refused, never attributed to another process.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace companion::ipc {

// The sandbox identities that are admitted: everything else that runs in a sandbox is refused.
struct Admission {
    std::vector<std::string> flatpakApplications;  // Flatpak application identifiers
    std::vector<std::string> snapNames;            // Snap names, as AppArmor labels carry them
};

struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    // Empty for an unconfined peer; otherwise what confines it, in words for the log
    // ("Flatpak application <id>", "AppArmor profile <label>", ...).
    std::string sandbox;
    // Empty when admitted; otherwise why not, for the log.
    std::string refusal;
    // Refused only because the agent had no descriptor to look with: worth another try once
    // some are free.
    bool outOfDescriptors = false;

    bool admitted() const { return refusal.empty(); }
    // "pid 12, uid 1000" and the sandbox when there is one, for log lines.
    std::string description() const;
};

// Identifies the peer of `socket` (a connected local stream socket) and decides its admission:
// the agent's own user only; in a Flatpak sandbox, one of the admitted applications; under a
// confining AppArmor profile (any mode but "unconfined"), one of the admitted snaps; in any
// other sandbox, never.
Peer identifyPeer(int socket, const Admission& admission);

// The pieces of that decision that read text, for tests. The application identifier a
// `.flatpak-info` file names (empty when it names none).
std::string flatpakApplication(std::string_view flatpakInfo);

// What an `SO_PEERSEC` label says: no AppArmor label at all (another security module, or none),
// an unconfined AppArmor label, or a confining profile; for a Snap's profile, `snapName` is its
// snap.
enum class AppArmor { notAppArmor, unconfined, confined };
AppArmor appArmorConfinement(std::string_view label, std::string& snapName);

}  // namespace companion::ipc
