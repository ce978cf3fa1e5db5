#include "platform/process/other_process.h"

#include "platform/descriptor_wait.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

namespace companion::process {
namespace {

std::string commandLinePath(int pid) { return "/proc/" + std::to_string(pid) + "/cmdline"; }

std::vector<std::string> splitAtNul(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::optional<OtherProcess> OtherProcess::open(int pid) {
    if (pid <= 0) return std::nullopt;
    UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidFd) return std::nullopt;
    return OtherProcess(pid, std::move(pidFd));
}

std::optional<std::vector<std::string>> OtherProcess::arguments() const {
    std::ifstream file(commandLinePath(pid_), std::ios::binary);
    if (!file) return std::nullopt;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (becomesReadable(pidFd_.get())) return std::nullopt;
    return splitAtNul(text);
}

bool OtherProcess::signal(int signalNumber) const {
    return ::syscall(SYS_pidfd_send_signal, pidFd_.get(), signalNumber, nullptr, 0) == 0;
}

}  // namespace companion::process
