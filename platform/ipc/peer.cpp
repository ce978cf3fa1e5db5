#include "platform/ipc/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/unique_fd.h"

namespace companion::ipc {

namespace {

// SO_PEERPIDFD (Linux 6.5); the build's kernel headers may predate it.
constexpr int peerPidFdOption = 77;
// Where a Flatpak sandbox keeps its identity, relative to the sandbox's root.
constexpr const char* flatpakInfoPath = "root/.flatpak-info";
constexpr const char* rootLink = "root";
constexpr std::string_view flatpakApplicationGroup = "[Application]";
constexpr std::string_view flatpakNameKey = "name";
// A real `.flatpak-info` is a few hundred bytes; anything past this is not one.
constexpr size_t flatpakInfoLimit = 64 * 1024;
// SO_PEERSEC labels are short; the kernel says how long when this is not enough.
constexpr size_t labelLimit = 4096;
constexpr std::string_view appArmorUnconfined = "unconfined";
constexpr std::string_view snapProfilePrefix = "snap.";
// The field of /proc/<pid>/stat, counted after the command's closing parenthesis, that holds
// the process's start time.
constexpr int startTimeField = 20;
constexpr const char* outOfDescriptorsText = "the agent is out of descriptors";

int pidFdOfPid(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// False only when the process is known to have ended.
bool isAlive(int pidFd) {
    return ::syscall(SYS_pidfd_send_signal, pidFd, 0, nullptr, 0) == 0 || errno != ESRCH;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The start time of the process behind `procDir`, in clock ticks since boot.
std::optional<unsigned long long> startTicks(int procDir) {
    UniqueFd stat(::openat(procDir, "stat", O_RDONLY | O_CLOEXEC));
    if (!stat) return std::nullopt;
    char buffer[1024];
    const ssize_t count = ::read(stat.get(), buffer, sizeof buffer - 1);
    if (count <= 0) return std::nullopt;
    const std::string_view text(buffer, static_cast<size_t>(count));
    // The command may itself contain ") ": the last one closes it.
    size_t at = text.rfind(')');
    for (int field = 0; at != std::string_view::npos && field < startTimeField; ++field) at = text.find(' ', at + 1);
    if (at == std::string_view::npos) return std::nullopt;
    return std::strtoull(buffer + at + 1, nullptr, 10);
}

unsigned long long ticksSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto perSecond = static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK));
    return static_cast<unsigned long long>(now.tv_sec) * perSecond +
           static_cast<unsigned long long>(now.tv_nsec) * perSecond / 1'000'000'000ULL;
}

// Closed at the other end: a peer that only stopped writing (a request, then a half-close)
// still holds it.
bool hungUp(int socket) {
    pollfd entry{socket, 0, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLHUP) != 0;
}

// Without SO_PEERPIDFD the pid is all the socket gives, and it may have been reused by the time
// it is opened. A process that started after the connection was accepted cannot be the one that
// made it, and a connection whose other end is closed has nobody left to serve; together they
// leave only a reuse within the moments between connect and accept, which needs the peer to
// have exited and the kernel to have gone through every pid meanwhile.
bool isTheConnectingProcess(int socket, int procDir, unsigned long long acceptedAt) {
    const auto started = startTicks(procDir);
    return started && *started <= acceptedAt && !hungUp(socket);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the process's root is the agent's own: the one sign that it runs in no sandbox.
bool sharesOurRoot(int procDir) {
    struct stat theirs{};
    struct stat ours{};
    return ::fstatat(procDir, rootLink, &theirs, 0) == 0 && ::stat("/", &ours) == 0 && sameFile(theirs, ours);
}

bool lacksDescriptors(int error) { return error == EMFILE || error == ENFILE; }

enum class FlatpakInfo { absent, read, unreadable, outOfDescriptors };

// Reads the sandbox's `.flatpak-info` without following a link in its place or waiting on
// anything that is not a regular file of a sensible size.
FlatpakInfo readFlatpakInfo(int procDir, std::string& contents) {
    UniqueFd file(::openat(procDir, flatpakInfoPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!file && lacksDescriptors(errno)) return FlatpakInfo::outOfDescriptors;
    if (!file) return errno == ENOENT ? FlatpakInfo::absent : FlatpakInfo::unreadable;
    struct stat info{};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > off_t{flatpakInfoLimit})
        return FlatpakInfo::unreadable;
    contents.resize(flatpakInfoLimit + 1);
    size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t count = ::read(file.get(), contents.data() + filled, contents.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return FlatpakInfo::unreadable;
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    if (filled > flatpakInfoLimit) return FlatpakInfo::unreadable;
    contents.resize(filled);
    return FlatpakInfo::read;
}

std::string peerLabel(int socket) {
    std::string label(labelLimit, '\0');
    socklen_t size = static_cast<socklen_t>(label.size());
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERSEC, label.data(), &size) != 0) return {};
    label.resize(std::min<size_t>(size, label.size()));
    while (!label.empty() && label.back() == '\0') label.pop_back();
    return label;
}

bool contains(const std::vector<std::string>& list, std::string_view wanted) {
    return std::find(list.begin(), list.end(), wanted) != list.end();
}

struct PeerProcess {
    UniqueFd pidFd;        // invalid when the process has gone
    bool fromPid = false;  // opened from the pid, which may have been reused since
};

// The peer's pidfd: the socket's own where the kernel keeps one, else one opened from the pid.
PeerProcess peerProcess(int socket, pid_t pid) {
    int pidFd = -1;
    socklen_t size = sizeof pidFd;
    if (::getsockopt(socket, SOL_SOCKET, peerPidFdOption, &pidFd, &size) == 0) return {UniqueFd(pidFd), false};
    if (errno != ENOPROTOOPT && errno != EINVAL) return {};
    return {UniqueFd(pidFdOfPid(pid)), true};
}

// The sandbox checks, once the process is held: its Flatpak identity, then its AppArmor label.
void checkSandbox(int socket, int procDir, const Admission& admission, Peer& peer) {
    std::string info;
    switch (readFlatpakInfo(procDir, info)) {
    case FlatpakInfo::read: {
        const std::string application = flatpakApplication(info);
        if (application.empty()) {
            peer.sandbox = "Flatpak sandbox";
            peer.refusal = "its .flatpak-info names no application";
            return;
        }
        peer.sandbox = "Flatpak application " + application;
        if (!contains(admission.flatpakApplications, application)) {
            peer.refusal = "a sandboxed application other than the host";
            return;
        }
        break;
    }
    case FlatpakInfo::absent:
        if (sharesOurRoot(procDir)) break;
        peer.sandbox = "a sandbox of its own root";
        peer.refusal = "sandboxed without a Flatpak identity";
        return;
    case FlatpakInfo::unreadable:
        peer.sandbox = "a sandbox";
        peer.refusal = "its .flatpak-info cannot be read as one";
        return;
    case FlatpakInfo::outOfDescriptors:
        peer.refusal = outOfDescriptorsText;
        peer.outOfDescriptors = true;
        return;
    }
    const std::string label = peerLabel(socket);
    std::string snap;
    if (appArmorConfinement(label, snap) != AppArmor::confined) return;
    const std::string profile = "AppArmor profile " + label;
    peer.sandbox = peer.sandbox.empty() ? profile : peer.sandbox + ", " + profile;
    if (snap.empty() || !contains(admission.snapNames, snap)) peer.refusal = "confined to a profile other than the host's snap";
}

}  // namespace

std::string Peer::description() const {
    std::string text = "pid " + std::to_string(pid) + ", uid " + std::to_string(uid);
    if (!sandbox.empty()) text += ", " + sandbox;
    return text;
}

std::string flatpakApplication(std::string_view flatpakInfo) {
    bool inApplication = false;
    while (!flatpakInfo.empty()) {
        const size_t end = std::min(flatpakInfo.find('\n'), flatpakInfo.size());
        const std::string_view line = trimmed(flatpakInfo.substr(0, end));
        flatpakInfo.remove_prefix(std::min(end + 1, flatpakInfo.size()));
        if (line.starts_with('[')) {
            inApplication = line == flatpakApplicationGroup;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inApplication || equals == std::string_view::npos) continue;
        if (trimmed(line.substr(0, equals)) == flatpakNameKey) return std::string(trimmed(line.substr(equals + 1)));
    }
    return {};
}

// AppArmor labels read "unconfined" or "<profile> (<mode>)"; a Snap's profiles are named
// "snap.<snap>.<application>". Other security modules label differently (SELinux:
// "user:role:type:level") and say nothing about sandboxes.
AppArmor appArmorConfinement(std::string_view label, std::string& snapName) {
    snapName.clear();
    if (label.empty()) return AppArmor::notAppArmor;
    if (label == appArmorUnconfined) return AppArmor::unconfined;
    const size_t open = label.rfind(" (");
    if (open == std::string_view::npos || !label.ends_with(')')) return AppArmor::notAppArmor;
    const std::string_view mode = label.substr(open + 2, label.size() - open - 3);
    if (mode == appArmorUnconfined) return AppArmor::unconfined;
    const std::string_view profile = label.substr(0, open);
    if (profile.starts_with(snapProfilePrefix)) {
        const std::string_view rest = profile.substr(snapProfilePrefix.size());
        snapName = std::string(rest.substr(0, rest.find('.')));
    }
    return AppArmor::confined;
}

Peer identifyPeer(int socket, const Admission& admission) {
    const unsigned long long acceptedAt = ticksSinceBoot();
    Peer peer;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        peer.refusal = std::string("its credentials cannot be read: ") + std::strerror(errno);
        return peer;
    }
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    if (credentials.uid != ::geteuid()) {
        peer.refusal = "another user";
        return peer;
    }
    const std::string procPath = "/proc/" + std::to_string(peer.pid);
    PeerProcess process = peerProcess(socket, peer.pid);
    UniqueFd procDir(process.pidFd ? ::open(procPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    // Either open failed for this reason, and errno still says so.
    if (!procDir && lacksDescriptors(errno)) {
        peer.refusal = outOfDescriptorsText;
        peer.outOfDescriptors = true;
        return peer;
    }
    // Alive after its folder was opened: the folder is that process's, whatever comes later.
    if (!procDir || !isAlive(process.pidFd.get())) {
        peer.refusal = "it ended before it could be identified";
        return peer;
    }
    // Not needed any more, and every descriptor counts when they run short.
    process.pidFd.reset();
    if (process.fromPid && !isTheConnectingProcess(socket, procDir.get(), acceptedAt)) {
        peer.refusal = "its pid no longer names the process that connected";
        return peer;
    }
    checkSandbox(socket, procDir.get(), admission, peer);
    return peer;
}

}  // namespace companion::ipc
