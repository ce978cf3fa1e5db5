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
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ctime>
#include <string_view>
#include <variant>

#include "platform/descriptor_wait.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/event_loop.h"
#include "platform/log/log.h"
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

// Writing to a pipe whose reader has gone raises SIGPIPE, whose default action would end the
// whole agent. This keeps it blocked on the calling thread around a write and discards the one
// the write raised, so the runner is safe whether or not the process ignores SIGPIPE.
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
    InputFeeder(UniqueFd fd, std::optional<Bytes> bytes) : fd_(std::move(fd)), bytes_(std::move(bytes).value_or(Bytes{})) {
        if (!fd_) return;
        if (bytes_.empty() || fcntl(fd_.get(), F_SETFL, O_NONBLOCK) != 0) fd_.reset();
    }
    bool open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    void writeSome() {
        const size_t remaining = bytes_.size() - written_;
        const SigpipeBlock sigpipeBlock;
        const ssize_t count = ::write(fd_.get(), bytes_.data() + written_, remaining);
        if (count < 0) {
            // A failed write is ignored: the child sees a short input and answers accordingly.
            if (errno != EAGAIN && errno != EINTR) fd_.reset();
            return;
        }
        written_ += static_cast<size_t>(count);
        if (written_ == bytes_.size()) fd_.reset();
    }

    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    Bytes bytes_;
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

// At most this many tools of the agent run at once; a flood of requests then waits in line
// instead of multiplying processes.
constexpr size_t maxToolProcesses = 64;

// The places for running tools, handed out in arrival order. A run holds its place from launch
// until its child has ended, so nothing a waiting run needs can sit behind it: a run in its
// place waits only for its own child, watched by its own caller or by the event loop.
class ToolPlaces {
public:
    using Granted = std::function<void()>;

    // Calls `granted` once a place is this caller's: at once on this thread, or later on the
    // thread that frees one. It must be short and never wait.
    void acquire(Granted granted) {
        {
            std::lock_guard lock(mutex_);
            if (inUse_ >= maxToolProcesses || !waiting_.empty()) {
                waiting_.push_back(std::move(granted));
                return;
            }
            ++inUse_;
        }
        granted();
    }

    // Runs holding a place or waiting for one.
    size_t inProgress() {
        std::lock_guard lock(mutex_);
        return inUse_ + waiting_.size();
    }

    // Hands the place straight to the longest waiting run, if any.
    void release() {
        Granted next;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty()) {
                --inUse_;
                return;
            }
            next = std::move(waiting_.front());
            waiting_.pop_front();
        }
        next();
    }

private:
    std::mutex mutex_;
    size_t inUse_ = 0;
    std::deque<Granted> waiting_;
};

// The limit is the agent's, whoever runs the tool, so its keeper is the process's own.
ToolPlaces& toolPlaces() {
    static ToolPlaces places;
    return places;
}

// A place held; given back when destroyed.
class ToolPlace {
public:
    ToolPlace() = default;
    static ToolPlace granted() { return ToolPlace(true); }
    ToolPlace(ToolPlace&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    ToolPlace& operator=(ToolPlace&& other) noexcept {
        if (this != &other) {
            reset();
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~ToolPlace() { reset(); }
    void reset() {
        if (std::exchange(held_, false)) toolPlaces().release();
    }

private:
    explicit ToolPlace(bool held) : held_(held) {}
    bool held_ = false;
};

struct Request {
    std::string executable;
    std::vector<std::string> arguments;
    std::optional<Bytes> input;
    std::optional<Environment> environment;
    double timeout;
};

CommandResult notStarted(std::string failure) {
    log::warn(log::Kind::toolNotStarted, failure);
    return {-1, "", std::move(failure)};
}

std::variant<process::Process, std::string> launch(const Request& request) {
    process::LaunchOptions options;
    options.executable = request.executable;
    options.arguments = request.arguments;
    options.environment = request.environment;
    options.input = request.input ? process::Stream::pipe : process::Stream::nullDevice;
    options.output = process::Stream::pipe;
    options.error = process::Stream::pipe;
    return process::Process::launch(options);
}

// One run of a launched child: its input, both outputs, its end and its time limit, stepped by
// whoever waits on its descriptors (a poll loop on the caller's thread, or the event loop).
class Run {
public:
    Run(process::Process child, std::optional<Bytes> input, double timeout, ToolPlace place)
        : child_(std::move(child)),
          input_(std::move(child_.inputPipe()), std::move(input)),
          output_(std::move(child_.outputPipe())),
          error_(std::move(child_.errorPipe())),
          deadline_(deadlineAfter(Clock::now(), timeout)),
          place_(std::move(place)) {}

    // The descriptors still to wait on; -1 for those done with.
    int inputFd() const { return input_.fd(); }
    int outputFd() const { return output_.fd(); }
    int errorFd() const { return error_.fd(); }
    int endFd() const { return termination_ ? -1 : child_.pidFd(); }

    void writeInput() { input_.writeSome(); }
    void readOutput() { output_.readSome(buffer_); }
    void readError() { error_.readSome(buffer_); }
    void noteEnd() {
        termination_ = child_.wait();
        endedAt_ = Clock::now();
        input_.close();
        place_.reset();
    }

    // Called whenever time may have moved past the next wake: SIGTERM at the time limit, so the
    // tool gets to clean up, and SIGKILL a grace period later if it is still there.
    void terminateWhenLate() {
        if (termination_ || killed_) return;
        const auto now = Clock::now();
        if (!terminated_) {
            if (now < deadline_) return;
            child_.terminate();
            terminated_ = true;
            killAt_ = now + toolKillGrace;
            return;
        }
        if (now < killAt_) return;
        child_.signal(SIGKILL);
        killed_ = true;
    }

    bool done() const {
        if (!termination_) return false;
        return !outputsOpen() || Clock::now() >= endedAt_ + drainAfterExit;
    }

    // The next moment the run must act without any I/O; nothing once SIGKILL has gone, whose
    // end the pidfd reports.
    std::optional<Clock::time_point> nextWake() const {
        if (termination_) return endedAt_ + drainAfterExit;
        if (!terminated_) return deadline_;
        if (!killed_) return killAt_;
        return std::nullopt;
    }

    CommandResult result() const {
        return {termination_->status(), decodeUtf8Lossy(output_.bytes()), decodeUtf8Lossy(error_.bytes())};
    }

private:
    bool outputsOpen() const { return output_.open() || error_.open(); }

    process::Process child_;
    InputFeeder input_;
    OutputCollector output_;
    OutputCollector error_;
    Clock::time_point deadline_;
    ToolPlace place_;
    bool terminated_ = false;
    bool killed_ = false;
    Clock::time_point killAt_;
    std::optional<process::Termination> termination_;
    Clock::time_point endedAt_;
    // On the heap: callers run on pool threads whose stacks need not be generous.
    std::vector<char> buffer_ = std::vector<char>(readChunk);
};

// Steps `run` from a poll loop on the calling thread until it is done.
CommandResult waitOnThisThread(Run& run) {
    while (!run.done()) {
        // A closed descriptor is -1, which poll skips.
        std::array<pollfd, 4> entries{{
            {run.inputFd(), POLLOUT, 0},
            {run.outputFd(), POLLIN, 0},
            {run.errorFd(), POLLIN, 0},
            {run.endFd(), POLLIN, 0},
        }};
        if (pollUntil(entries, run.nextWake()) > 0) {
            if (entries[0].revents) run.writeInput();
            if (entries[1].revents) run.readOutput();
            if (entries[2].revents) run.readError();
            if (entries[3].revents) run.noteEnd();
        }
        run.terminateWhenLate();
    }
    return run.result();
}

// Steps a run from the event loop: no thread waits for it. It owns itself through the handlers
// of its watches until it is done, and then lets them go.
class LoopRun : public std::enable_shared_from_this<LoopRun> {
public:
    using Done = std::function<void(CommandResult)>;

    LoopRun(dispatch::EventLoop& loop, Run run, Done done)
        : loop_(loop), run_(std::move(run)), done_(std::move(done)) {}

    void start() {
        using dispatch::Interest;
        input_ = watch(run_.inputFd(), Interest::write, &Run::writeInput);
        output_ = watch(run_.outputFd(), Interest::read, &Run::readOutput);
        error_ = watch(run_.errorFd(), Interest::read, &Run::readError);
        end_ = watch(run_.endFd(), Interest::read, &Run::noteEnd);
        step();
    }

private:
    dispatch::EventLoop::Watch watch(int fd, dispatch::Interest interest, void (Run::*act)()) {
        if (fd < 0) return {};
        return loop_.watch(fd, interest, [this, self = shared_from_this(), act](dispatch::Readiness) {
            (run_.*act)();
            step();
        });
    }

    // After every act: let go of what is done with, and re-arm the one timer.
    void step() {
        run_.terminateWhenLate();
        if (run_.inputFd() < 0) input_.reset();
        if (run_.outputFd() < 0) output_.reset();
        if (run_.errorFd() < 0) error_.reset();
        if (run_.endFd() < 0) end_.reset();
        if (run_.done()) return finish();
        timer_.cancel();
        if (const auto wake = run_.nextWake())
            timer_ = loop_.after(*wake - Clock::now(), [this] { step(); });
    }

    void finish() {
        input_.reset();
        output_.reset();
        error_.reset();
        end_.reset();
        timer_.cancel();
        // The last handler holding this run may be the one running now; the loop keeps it
        // until the end of its pass.
        loop_.releaseAtEndOfPass(shared_from_this());
        done_(run_.result());
    }

    dispatch::EventLoop& loop_;
    Run run_;
    Done done_;
    dispatch::EventLoop::Watch input_;
    dispatch::EventLoop::Watch output_;
    dispatch::EventLoop::Watch error_;
    dispatch::EventLoop::Watch end_;
    dispatch::EventLoop::Deadline timer_;
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

size_t toolRunsInProgress() { return toolPlaces().inProgress(); }

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
    // The wait for a place and for the tool uses no CPU: the pool lends this thread's place.
    const dispatch::Blocking blocking;
    std::promise<void> placeFree;
    toolPlaces().acquire([&placeFree] { placeFree.set_value(); });
    placeFree.get_future().wait();
    ToolPlace place = ToolPlace::granted();

    auto launched = launch({executable, arguments, input, environment, timeout});
    if (auto* failure = std::get_if<std::string>(&launched)) return notStarted(std::move(*failure));
    Run run(std::move(std::get<process::Process>(launched)), input, timeout, std::move(place));
    return waitOnThisThread(run);
}

void runCommandOnLoop(dispatch::EventLoop& loop, std::string executable, std::vector<std::string> arguments,
                      std::optional<Bytes> input, std::optional<Environment> environment, double timeout,
                      std::function<void(CommandResult)> done) {
    auto request = std::make_shared<Request>(
        Request{std::move(executable), std::move(arguments), std::move(input), std::move(environment), timeout});
    toolPlaces().acquire([&loop, request, done = std::move(done)]() mutable {
        // Shared, so that work the loop drops unrun (it has stopped for good) still frees it.
        auto place = std::make_shared<ToolPlace>(ToolPlace::granted());
        auto start = [&loop, request, done = std::move(done), place]() mutable {
            auto launched = launch(*request);
            if (auto* failure = std::get_if<std::string>(&launched)) {
                // Finished through the loop like any run, never from here: `done` may start the
                // next run of a list, and giving the place back may start the next waiting run,
                // so finishing inline would nest one frame deeper per run that cannot start.
                loop.post([place, done = std::move(done), result = notStarted(std::move(*failure))]() mutable {
                    place->reset();
                    done(std::move(result));
                });
                return;
            }
            Run run(std::move(std::get<process::Process>(launched)), std::move(request->input), request->timeout,
                    std::move(*place));
            std::make_shared<LoopRun>(loop, std::move(run), std::move(done))->start();
        };
        // Whoever frees a place may be any thread: the run starts on the loop's own.
        if (loop.isCurrent()) return start();
        loop.post(std::move(start));
    });
}

}  // namespace companion
