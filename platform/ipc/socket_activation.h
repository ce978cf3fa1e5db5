#pragma once
// The listening socket a service manager hands over when it starts the agent on demand.
//
// The handover is the service manager's standard one: LISTEN_PID names the process meant,
// LISTEN_FDS counts the sockets, and the first of them is descriptor 3.

#include <optional>
#include <string>
#include <variant>

#include <sys/types.h>

#include "platform/unique_fd.h"

namespace companion::ipc {

// The first descriptor a service manager hands over.
inline constexpr int firstHandedOverDescriptor = 3;

// What the environment said: nothing handed over (start as usual), the socket, or why the
// handed-over descriptor cannot be served.
struct NoHandedOverSocket {};
using HandedOverSocket = std::variant<NoHandedOverSocket, UniqueFd, std::string>;

// Decides from the two variables' values whether `descriptor` was handed to process `self`,
// and if so checks that it is a listening local stream socket and makes it close-on-exec.
HandedOverSocket adoptHandedOverSocket(const std::optional<std::string>& listenPid,
                                       const std::optional<std::string>& listenFds, pid_t self,
                                       int descriptor = firstHandedOverDescriptor);

// The same from this process's environment; the variables are cleared either way, so that no
// child the agent starts believes the socket was meant for it.
HandedOverSocket takeHandedOverSocket();

}  // namespace companion::ipc
