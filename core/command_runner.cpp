#include "core/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string_view>
#include <variant>

#include "platform/process/process.h"

namespace companion {
namespace {

using Clock = std::chrono::steady_clock;

// How long the output pipes may stay open once the child has ended (by itself or after the
// time limit's SIGTERM). A tool may leave a descendant behind ("cmd &", a daemon it starts) that
// inherited the pipes and keeps them open for as long as it lives; the tool's own output is
// complete when it exits, so waiting for that descendant would only hold the caller's thread.
// Two seconds lets a descendant's last words through and stays short next to any caller's limit.
constexpr Clock::duration drainAfterExit = std::chrono::seconds(2);

// Longer time limits (or an infinite one) are cut to this, which keeps the deadline arithmetic
// of the steady clock in range; no tool runs that long.
constexpr std::chrono::hours longestTimeout{24 * 365};

constexpr size_t readChunk = 64 * 1024;

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

Clock::time_point deadlineAfter(Clock::time_point start, double seconds) {
    // NaN and negative limits are spent at once.
    if (!(seconds > 0)) return start;
    const std::chrono::duration<double> limit(seconds);
    if (limit >= longestTimeout) return start + longestTimeout;
    return start + std::chrono::duration_cast<Clock::duration>(limit);
}

timespec timespecFrom(Clock::duration duration) {
    duration = std::max(duration, Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

// Writing to a pipe whose reader has gone raises SIGPIPE, whose default action would end the
// whole agent. This keeps it blocked on the calling thread while the input is fed and discards
// the one the write raised, so the runner is safe whether or not the process ignores SIGPIPE.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        // One that was already pending is someone else's and must survive us.
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!alreadyPending_) {
            const timespec now{0, 0};
            while (sigtimedwait(&sigpipe_, nullptr, &now) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t sigpipe_;
    sigset_t previous_;
    bool alreadyPending_ = false;
};

// Feeds the input bytes into the child's standard input without ever blocking, so that a child
// that writes before it has read everything cannot deadlock against us.
class InputFeeder {
public:
    InputFeeder(UniqueFd fd, const Bytes* bytes) : fd_(std::move(fd)), bytes_(bytes) {
        if (!fd_) return;
        if (bytes_ == nullptr || bytes_->empty() || fcntl(fd_.get(), F_SETFL, O_NONBLOCK) != 0) {
            fd_.reset();
        }
    }
    bool open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    void writeSome() {
        const size_t remaining = bytes_->size() - written_;
        const ssize_t count = ::write(fd_.get(), bytes_->data() + written_, remaining);
        if (count < 0) {
            // A failed write is ignored: the child sees a short input and answers accordingly.
            if (errno != EAGAIN && errno != EINTR) fd_.reset();
            return;
        }
        written_ += static_cast<size_t>(count);
        if (written_ == bytes_->size()) fd_.reset();
    }

    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    const Bytes* bytes_;
    size_t written_ = 0;
};

// Collects one output pipe to its end.
class OutputCollector {
public:
    explicit OutputCollector(UniqueFd fd) : fd_(std::move(fd)) {}
    bool open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    const std::string& bytes() const { return bytes_; }

    void readSome(std::vector<char>& buffer) {
        const ssize_t count = ::read(fd_.get(), buffer.data(), buffer.size());
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (count <= 0) {
            fd_.reset();
            return;
        }
        bytes_.append(buffer.data(), static_cast<size_t>(count));
    }

private:
    UniqueFd fd_;
    std::string bytes_;
};

// One run of a launched child: a single poll loop over the input pipe, both output pipes and
// the child's pidfd, waking for I/O, for the child's end or for the next deadline.
class Run {
public:
    Run(process::Process& child, const std::optional<Bytes>& input, Clock::time_point deadline)
        : child_(child),
          input_(std::move(child.inputPipe()), input ? &*input : nullptr),
          output_(std::move(child.outputPipe())),
          error_(std::move(child.errorPipe())),
          deadline_(deadline) {}

    CommandResult finish() {
        while (!done()) {
            pollOnce();
            terminateWhenLate();
        }
        input_.close();
        return {termination_->status(), decodeUtf8Lossy(output_.bytes()), decodeUtf8Lossy(error_.bytes())};
    }

private:
    bool outputsOpen() const { return output_.open() || error_.open(); }

    bool done() const {
        if (!termination_) return false;
        return !outputsOpen() || Clock::now() >= endedAt_ + drainAfterExit;
    }

    // The next moment the loop must act without any I/O. Nothing while it waits for a child
    // that has been sent SIGTERM: one that ignores it keeps its caller waiting, since the time
    // limit promises SIGTERM and nothing stronger.
    std::optional<Clock::time_point> nextWake() const {
        if (termination_) return endedAt_ + drainAfterExit;
        if (!terminated_) return deadline_;
        return std::nullopt;
    }

    void pollOnce() {
        // A closed descriptor is -1, which poll skips.
        std::array<pollfd, 4> entries{{
            {input_.fd(), POLLOUT, 0},
            {output_.fd(), POLLIN, 0},
            {error_.fd(), POLLIN, 0},
            {termination_ ? -1 : child_.pidFd(), POLLIN, 0},
        }};
        const auto wake = nextWake();
        const timespec timeout = wake ? timespecFrom(*wake - Clock::now()) : timespec{};
        if (ppoll(entries.data(), entries.size(), wake ? &timeout : nullptr, nullptr) <= 0) return;

        if (entries[0].revents) input_.writeSome();
        if (entries[1].revents) output_.readSome(buffer_);
        if (entries[2].revents) error_.readSome(buffer_);
        if (entries[3].revents) noteEnd();
    }

    void noteEnd() {
        termination_ = child_.wait();
        endedAt_ = Clock::now();
    }

    void terminateWhenLate() {
        if (termination_ || terminated_ || Clock::now() < deadline_) return;
        // SIGTERM only: the tool gets to clean up, and nothing stronger follows.
        child_.terminate();
        terminated_ = true;
    }

    process::Process& child_;
    InputFeeder input_;
    OutputCollector output_;
    OutputCollector error_;
    Clock::time_point deadline_;
    bool terminated_ = false;
    std::optional<process::Termination> termination_;
    Clock::time_point endedAt_;
    // On the heap: callers run on pool threads whose stacks need not be generous.
    std::vector<char> buffer_ = std::vector<char>(readChunk);
};

// The lead byte of a multi-byte sequence, with the range its second byte must fall in. That
// range is narrower than 80..BF for the leads whose plain range would admit overlong forms
// (E0, F0), surrogates (ED) or code points past U+10FFFF (F4).
struct Lead {
    size_t length;
    uint8_t secondLow;
    uint8_t secondHigh;
};

std::optional<Lead> leadOf(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return Lead{2, 0x80, 0xBF};
    if (byte == 0xE0) return Lead{3, 0xA0, 0xBF};
    if (byte == 0xED) return Lead{3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return Lead{3, 0x80, 0xBF};
    if (byte == 0xF0) return Lead{4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return Lead{4, 0x80, 0xBF};
    if (byte == 0xF4) return Lead{4, 0x80, 0x8F};
    return std::nullopt;
}

bool isContinuation(uint8_t byte) { return byte >= 0x80 && byte <= 0xBF; }

// How many bytes from `bytes` belong to the sequence that `lead` starts: its full length when it
// is valid, otherwise its maximal subpart, which becomes a single replacement character.
size_t sequenceLength(const uint8_t* bytes, size_t available, const Lead& lead) {
    size_t length = 1;
    if (length >= available || bytes[1] < lead.secondLow || bytes[1] > lead.secondHigh) return length;
    ++length;
    while (length < lead.length && length < available && isContinuation(bytes[length])) ++length;
    return length;
}

}  // namespace

std::string decodeUtf8Lossy(const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    std::string text;
    text.reserve(size);
    size_t index = 0;
    while (index < size) {
        const size_t asciiEnd = static_cast<size_t>(
            std::find_if(bytes + index, bytes + size, [](uint8_t byte) { return byte >= 0x80; }) - bytes);
        text.append(data + index, asciiEnd - index);
        index = asciiEnd;
        if (index == size) break;

        const auto lead = leadOf(bytes[index]);
        const size_t length = lead ? sequenceLength(bytes + index, size - index, *lead) : 1;
        if (lead && length == lead->length) {
            text.append(data + index, length);
        } else {
            text.append(replacementCharacter);
        }
        index += length;
    }
    return text;
}

CommandResult runCommand(const std::string& executable, const std::vector<std::string>& arguments,
                         const std::optional<Bytes>& input, const std::optional<Environment>& environment,
                         double timeout) {
    const Clock::time_point deadline = deadlineAfter(Clock::now(), timeout);
    process::LaunchOptions options;
    options.executable = executable;
    options.arguments = arguments;
    if (environment) options.environment = process::Environment(environment->begin(), environment->end());
    options.input = input ? process::Stream::pipe : process::Stream::nullDevice;
    options.output = process::Stream::pipe;
    options.error = process::Stream::pipe;

    auto launched = process::Process::launch(options);
    if (auto* failure = std::get_if<std::string>(&launched)) return {-1, "", std::move(*failure)};
    auto& child = std::get<process::Process>(launched);

    std::optional<SigpipeBlock> sigpipeBlock;
    if (input && !input->empty()) sigpipeBlock.emplace();
    return Run(child, input, deadline).finish();
}

}  // namespace companion
