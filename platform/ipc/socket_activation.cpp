#include "platform/ipc/socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace companion::ipc {

namespace {

constexpr const char* listenPidVariable = "LISTEN_PID";
constexpr const char* listenFdsVariable = "LISTEN_FDS";
constexpr const char* listenFdNamesVariable = "LISTEN_FDNAMES";

std::optional<long> wholeNumber(const std::string& text) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> socketOption(int descriptor, int option) {
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(descriptor, SOL_SOCKET, option, &value, &size) != 0) return std::nullopt;
    return value;
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// Why `descriptor` is not a listening local stream socket; nothing when it is one.
std::optional<std::string> notAListeningLocalStream(int descriptor) {
    auto prefix = "handed-over descriptor " + std::to_string(descriptor);
    if (::fcntl(descriptor, F_GETFD) < 0) return prefix + " is not open";
    auto domain = socketOption(descriptor, SO_DOMAIN);
    auto type = socketOption(descriptor, SO_TYPE);
    auto listening = socketOption(descriptor, SO_ACCEPTCONN);
    if (!domain || !type || !listening) return prefix + " is not a socket";
    if (*domain != AF_UNIX || *type != SOCK_STREAM) return prefix + " is not a local stream socket";
    if (*listening == 0) return prefix + " is not listening";
    return std::nullopt;
}

}  // namespace

HandedOverSocket adoptHandedOverSocket(const std::optional<std::string>& listenPid,
                                       const std::optional<std::string>& listenFds, pid_t self, int descriptor) {
    if (!listenPid || !listenFds) return NoHandedOverSocket{};
    // Inherited from a parent that was started this way: not meant for us.
    auto pid = wholeNumber(*listenPid);
    if (!pid || *pid != self) return NoHandedOverSocket{};
    auto count = wholeNumber(*listenFds);
    if (!count || *count < 1) return NoHandedOverSocket{};
    if (*count > 1) return "the service manager handed over " + *listenFds + " sockets; the agent serves one";
    if (auto problem = notAListeningLocalStream(descriptor)) return *problem;
    UniqueFd socket(descriptor);
    if (::fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0)
        return "cannot make descriptor " + std::to_string(descriptor) + " close-on-exec: " + std::strerror(errno);
    return socket;
}

HandedOverSocket takeHandedOverSocket() {
    auto handed = adoptHandedOverSocket(environmentValue(listenPidVariable), environmentValue(listenFdsVariable),
                                        ::getpid());
    ::unsetenv(listenPidVariable);
    ::unsetenv(listenFdsVariable);
    ::unsetenv(listenFdNamesVariable);
    return handed;
}

}  // namespace companion::ipc
