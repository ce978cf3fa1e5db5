#include "platform/ipc/endpoint.h"

#include "platform/ipc/wire.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace companion::ipc {

namespace {

constexpr const char* fallbackFolderPrefix = "/tmp/tavro-companion-";
constexpr const char* lockSuffix = ".lock";
// The kernel caps a backlog at its own maximum (net.core.somaxconn), so asking for the largest
// value gets the system's maximum: clients that connect at the same moment wait to be
// accepted instead of being refused.
constexpr int listenBacklog = std::numeric_limits<int>::max();

std::string errorText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

UniqueFd newSocket() { return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

}  // namespace

std::string endpointPath(const std::string& serviceName) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/" + serviceName;
    return fallbackFolderPrefix + std::to_string(::getuid()) + "/" + serviceName;
}

std::optional<std::string> prepareEndpointFolder(const std::string& socketPath) {
    std::string folder = folderOf(socketPath);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errorText("cannot create " + folder, errno);
    struct stat info{};
    if (::lstat(folder.c_str(), &info) != 0) return errorText("cannot inspect " + folder, errno);
    if (!S_ISDIR(info.st_mode)) return folder + " is not a folder";
    if (info.st_uid != ::geteuid()) return folder + " belongs to another user";
    if ((info.st_mode & 077) != 0) return folder + " may be entered by other users";
    return std::nullopt;
}

std::variant<BoundEndpoint, std::string> bindEndpoint(const std::string& socketPath) {
    auto address = socketAddress(socketPath);
    if (!address) return "socket path too long: " + socketPath;
    if (auto problem = prepareEndpointFolder(socketPath)) return *problem;

    // The lock, not the socket file, says whether an agent is alive: a file can be stale, a
    // lock dies with its holder.
    std::string lockPath = socketPath + lockSuffix;
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) return errorText("cannot open " + lockPath, errno);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? "another agent is serving " + socketPath
                                    : errorText("cannot lock " + lockPath, errno);

    ::unlink(socketPath.c_str());  // stale: its agent no longer holds the lock
    UniqueFd socket = newSocket();
    if (!socket) return errorText("cannot create a socket", errno);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        return errorText("cannot bind " + socketPath, errno);
    ::chmod(socketPath.c_str(), 0600);
    if (::listen(socket.get(), listenBacklog) != 0) return errorText("cannot listen on " + socketPath, errno);
    return BoundEndpoint{std::move(socket), std::move(lock), socketPath};
}

std::variant<UniqueFd, std::string> connectEndpoint(const std::string& socketPath) {
    auto address = socketAddress(socketPath);
    if (!address) return "socket path too long: " + socketPath;
    UniqueFd socket = newSocket();
    if (!socket) return errorText("cannot create a socket", errno);
    int result;
    do {
        result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return errorText("cannot connect to " + socketPath, errno);
    return socket;
}

std::optional<uid_t> peerUid(int socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
    return credentials.uid;
}

void readFrames(int fd, uint32_t maxFrame, const std::function<bool(const std::string& payload)>& deliver) {
    FrameReader frames(maxFrame);
    std::string chunk(readChunk, '\0');
    std::string payload;
    for (;;) {
        ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        frames.append(chunk.data(), static_cast<size_t>(n));
        for (;;) {
            auto status = frames.next(payload);
            if (status == FrameReader::Status::needMore) break;
            if (status == FrameReader::Status::tooLarge || !deliver(payload)) return;
        }
    }
}

bool writeAll(int fd, const std::string& bytes) {
    // send rather than write: a peer that has gone must cost an error, never a SIGPIPE.
    return writeAllWith(bytes, [fd](const char* data, size_t size) { return ::send(fd, data, size, MSG_NOSIGNAL); });
}

}  // namespace companion::ipc
