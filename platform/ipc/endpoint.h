#pragma once
// Where a named service listens, and the sockets of both ends.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "platform/unique_fd.h"

namespace companion::ipc {

// The socket path for a service name: "$XDG_RUNTIME_DIR/<name>" when that variable is an absolute
// path, else "/tmp/tavro-companion-<uid>/<name>".
std::string endpointPath(const std::string& serviceName);

// Makes sure the folder of `socketPath` exists, belongs to this user and only this user may
// enter it. An error text when it cannot be made so.
std::optional<std::string> prepareEndpointFolder(const std::string& socketPath);

// A listening socket with the lock that makes its agent the only one on that path.
struct BoundEndpoint {
    UniqueFd socket;
    UniqueFd lock;
    std::string path;
};

// Binds and listens on `socketPath`. Refuses (error text) while another live agent holds the
// endpoint; replaces a stale socket file left by one that died.
std::variant<BoundEndpoint, std::string> bindEndpoint(const std::string& socketPath);

// Connects to `socketPath`; an error text on failure.
std::variant<UniqueFd, std::string> connectEndpoint(const std::string& socketPath);

// The user id of the process at the other end of a connected socket.
std::optional<uid_t> peerUid(int socket);

// Reads frames from `fd` and hands each payload to `deliver`, until the stream ends, a frame is
// longer than `maxFrame`, or `deliver` refuses one (returns false).
void readFrames(int fd, uint32_t maxFrame, const std::function<bool(const std::string& payload)>& deliver);

// Writes all of `bytes`, waiting as long as the peer takes; false once the peer has gone.
bool writeAll(int fd, const std::string& bytes);

}  // namespace companion::ipc
