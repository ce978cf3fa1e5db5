#include "image_tool/child_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <array>
#include <cerrno>
#include <variant>

#include "platform/descriptor_wait.h"
#include "platform/process/process.h"

namespace companion::image_tool {

namespace {

constexpr int signalledStatusBase = 128;
constexpr size_t readChunk = 65536;

void makeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there now; false once the writer has closed its end.
bool readAvailable(UniqueFd& fd, std::string& into) {
    std::array<char, readChunk> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n > 0) {
            into.append(buffer.data(), static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        fd.reset();
        return false;
    }
}

// Writes what the pipe takes now; closes it once everything is written or the reader is gone.
void writeAvailable(UniqueFd& fd, const std::string& input, size_t& written) {
    while (written < input.size()) {
        const ssize_t n = ::write(fd.get(), input.data() + written, input.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        break;
    }
    fd.reset();
}

int exitStatus(const process::Termination& end) {
    return end.kind == process::Termination::Kind::exited ? end.code : signalledStatusBase + end.code;
}

bool endSignalArrived(int endSignals) {
    signalfd_siginfo info{};
    return ::read(endSignals, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

}  // namespace

UniqueFd holdEndSignals() {
    sigset_t ending;
    ::sigemptyset(&ending);
    ::sigaddset(&ending, SIGTERM);
    ::sigaddset(&ending, SIGINT);
    ::sigprocmask(SIG_BLOCK, &ending, nullptr);
    // Writing to a closed pipe must fail the write, not end the tool.
    ::signal(SIGPIPE, SIG_IGN);
    return UniqueFd(::signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK));
}

ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::string& input, int endSignals, int endWith) {
    using process::Stream;
    auto launched = process::Process::launch(
        {executable, arguments, std::nullopt, Stream::pipe, Stream::pipe, Stream::pipe});
    if (auto* failure = std::get_if<std::string>(&launched)) return {-1, "", *failure};
    auto& child = std::get<process::Process>(launched);
    UniqueFd& in = child.inputPipe();
    UniqueFd& out = child.outputPipe();
    UniqueFd& err = child.errorPipe();
    for (int fd : {in.get(), out.get(), err.get()}) makeNonBlocking(fd);

    ChildResult result;
    size_t written = 0;
    writeAvailable(in, input, written);
    for (bool ended = false; !ended;) {
        std::array<pollfd, 5> watched{{{child.pidFd(), POLLIN, 0},
                                       {endSignals, POLLIN, 0},
                                       {out.get(), POLLIN, 0},
                                       {err.get(), POLLIN, 0},
                                       {in.get(), POLLOUT, 0}}};
        if (pollUntil(watched, std::nullopt) < 0) break;
        if (watched[1].revents && endSignalArrived(endSignals)) {
            result.interrupted = true;
            child.signal(endWith);
        }
        if (watched[2].revents) readAvailable(out, result.output);
        if (watched[3].revents) readAvailable(err, result.errorOutput);
        if (watched[4].revents) writeAvailable(in, input, written);
        ended = watched[0].revents != 0;
    }
    // What the child wrote before it ended is in the pipes; a daemon it left may hold them open.
    if (out) readAvailable(out, result.output);
    if (err) readAvailable(err, result.errorOutput);
    result.status = exitStatus(child.wait());
    return result;
}

}  // namespace companion::image_tool
