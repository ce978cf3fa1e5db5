#pragma once
// The home folder of an SSH account, for setting up an SFTP connection: one non-interactive
// login with the system's ssh client that runs "pwd" in the login folder.
//
// ssh is never allowed to ask for anything, so only key-based or agent-based logins can work.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_runner.h"
#include "core/session.h"

namespace companion::storage {

// One probe as the client asks for it.
struct SshLogin {
    std::string host;
    std::string user;     // empty: ssh's own choice
    int64_t port = 0;     // 0: ssh's own choice
    std::string keyFile;  // empty: ssh's own choice; otherwise passed on exactly as received
};

// A host name, an IPv4 address or an IPv6 address in square brackets: letters, digits and
// "_.:[]-", never beginning with ".", ":" or "-" (so it can never read as an option).
bool isSshHost(std::string_view host);

// True when every part of the login passes its check: host, user (the identifier rule), port
// 0 to 65535, and a key file that is absolute, clean and exists.
bool isAcceptableLogin(const SshLogin& login);

// ssh's argument list for the probe.
std::vector<std::string> sshArguments(const SshLogin& login);

// The home folder the probe printed: the last output line that begins with "/", trimmed, and
// only when ssh succeeded.
std::optional<std::string> probedHome(const CommandResult& result);

// Fills the slot of `sshHomeWithHost`.
void installSshServices(Services& services);

}  // namespace companion::storage
