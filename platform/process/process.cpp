#include "platform/process/process.h"

#include "platform/descriptor_wait.h"
#include "platform/dispatch/event_loop.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

extern char** environ;

namespace companion::process {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* nullDevice = "/dev/null";
constexpr int firstNonStandardFd = 3;

// How long a destroyed Process lets its child act on SIGTERM before killing it. Only the
// destructor escalates: its owner is gone, so nobody else will ever reap the child, and a child
// that ignores SIGTERM would otherwise stay for the life of the agent.
constexpr std::chrono::milliseconds graceBeforeKill{2000};

std::string describe(const std::string& action, const std::string& path, int error) {
    return "cannot " + action + " " + path + ": " + std::system_category().message(error);
}

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A tool must start as if from a fresh shell: the agent ignores SIGPIPE and its threads block
// signals of their own, and neither may leak into the child (a pipeline under an ignored
// SIGPIPE never ends on a closed reader).
int resetSignals(SpawnAttributes& attributes) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (int error = posix_spawnattr_setsigmask(attributes.get(), &none)) return error;
    if (int error = posix_spawnattr_setsigdefault(attributes.get(), &all)) return error;
    return posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// A child's pipe end that landed on 0, 1 or 2 (this process's own standard streams were closed)
// could be overwritten by the child's dup2 of another stream before its own turn; move it above.
int moveAboveStandardStreams(UniqueFd& fd) {
    if (fd.get() >= firstNonStandardFd) return 0;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, firstNonStandardFd);
    if (moved < 0) return errno;
    fd.reset(moved);
    return 0;
}

struct PipeEnds {
    UniqueFd parent;
    UniqueFd child;
};

int makePipe(bool childReads, PipeEnds& ends) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    ends.child = childReads ? std::move(readEnd) : std::move(writeEnd);
    ends.parent = childReads ? std::move(writeEnd) : std::move(readEnd);
    return moveAboveStandardStreams(ends.child);
}

// Arranges one standard stream of the child. `ends` keeps the pipe alive until the spawn.
int planStream(FileActions& actions, Stream stream, int target, PipeEnds& ends) {
    const bool childReads = target == STDIN_FILENO;
    switch (stream) {
        case Stream::inherit:
            return 0;
        case Stream::nullDevice:
            return posix_spawn_file_actions_addopen(actions.get(), target, nullDevice,
                                                    childReads ? O_RDONLY : O_WRONLY, 0);
        case Stream::pipe:
            if (int error = makePipe(childReads, ends)) return error;
            return posix_spawn_file_actions_adddup2(actions.get(), ends.child.get(), target);
    }
    return EINVAL;
}

// Everything is close-on-exec already; this also covers descriptors that a library opened
// without the flag.
int closeTheRest(FileActions& actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    return posix_spawn_file_actions_addclosefrom_np(actions.get(), firstNonStandardFd);
#else
    (void)actions;
    return 0;
#endif
}

// NUL-terminated pointer arrays over strings that must outlive the spawn.
struct CStrings {
    std::vector<std::string> storage;
    std::vector<char*> pointers;

    void seal() {
        pointers.reserve(storage.size() + 1);
        for (std::string& text : storage) pointers.push_back(text.data());
        pointers.push_back(nullptr);
    }
};

CStrings argumentVector(const LaunchOptions& options) {
    CStrings argv;
    argv.storage.reserve(options.arguments.size() + 1);
    argv.storage.push_back(options.executable);
    argv.storage.insert(argv.storage.end(), options.arguments.begin(), options.arguments.end());
    argv.seal();
    return argv;
}

CStrings environmentBlock(const Environment& environment) {
    CStrings envp;
    envp.storage.reserve(environment.size());
    for (const auto& [name, value] : environment) envp.storage.push_back(name + "=" + value);
    envp.seal();
    return envp;
}

Termination terminationFrom(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return {Termination::Kind::exited, info.si_status};
    return {Termination::Kind::signalled, info.si_status};
}

// Reaps the child of `pidFd`; nothing when `block` is false and it is still running.
std::optional<Termination> reapChild(int pidFd, bool block) {
    siginfo_t info{};
    const int options = WEXITED | (block ? 0 : WNOHANG);
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidFd), &info, options) != 0) {
        if (errno == EINTR) continue;
        // The status went to someone else (SIGCHLD set to SIG_IGN reaps children unasked):
        // the child is gone, and how it ended cannot be known.
        return Termination{Termination::Kind::exited, -1};
    }
    if (info.si_pid == 0) return std::nullopt;
    return terminationFrom(info);
}

// Through syscall(): glibc 2.36 declares its wrappers without C linkage for C++.
int openPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int sendSignal(int pidFd, int signalNumber) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidFd, signalNumber, nullptr, 0));
}

// Everything the child needs arranged before the spawn; the child's pipe ends stay open here
// until the spawn has duplicated them.
struct ChildPlan {
    FileActions actions;
    SpawnAttributes attributes;
    PipeEnds input;
    PipeEnds output;
    PipeEnds error;

    int prepare(const LaunchOptions& options) {
        if (int failure = planStream(actions, options.input, STDIN_FILENO, input)) return failure;
        if (int failure = planStream(actions, options.output, STDOUT_FILENO, output)) return failure;
        if (int failure = planStream(actions, options.error, STDERR_FILENO, error)) return failure;
        if (int failure = closeTheRest(actions)) return failure;
        return resetSignals(attributes);
    }

    // glibc reports a failed exec as the result of posix_spawn itself, so a missing or
    // non-executable file surfaces here rather than as an exit status of 127.
    int spawn(const LaunchOptions& options, pid_t& pid) {
        CStrings argv = argumentVector(options);
        CStrings envp;
        if (options.environment) envp = environmentBlock(*options.environment);
        char* const* environment = options.environment ? envp.pointers.data() : environ;
        return posix_spawn(&pid, options.executable.c_str(), actions.get(), attributes.get(),
                           argv.pointers.data(), environment);
    }
};

}  // namespace

struct Process::State {
    pid_t pid = -1;
    UniqueFd pidFd;
    UniqueFd input;
    UniqueFd output;
    UniqueFd error;
    std::optional<Termination> termination;
};

std::variant<Process, std::string> Process::launch(const LaunchOptions& options) {
    const std::string& path = options.executable;
    if (path.empty() || path.front() != '/') {
        return "cannot launch \"" + path + "\": the path is not absolute";
    }
    // A file that is missing or not executable fails here, without the pipes and the child a
    // spawn costs: one request may name many thousands of runs of a tool that is not installed.
    if (::access(path.c_str(), X_OK) != 0) return describe("launch", path, errno);
    ChildPlan plan;
    if (int failure = plan.prepare(options)) return describe("prepare to launch", path, failure);

    pid_t pid = -1;
    if (int failure = plan.spawn(options, pid)) return describe("launch", path, failure);
    UniqueFd pidFd(openPidFd(pid));
    if (!pidFd) {
        const int reason = errno;
        // Not reaped yet, so this pid is still our child and cannot have been recycled.
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return describe("watch", path, reason);
    }

    auto state = std::make_unique<State>();
    state->pid = pid;
    state->pidFd = std::move(pidFd);
    state->input = std::move(plan.input.parent);
    state->output = std::move(plan.output.parent);
    state->error = std::move(plan.error.parent);
    return Process(std::move(state));
}

Process::Process(std::unique_ptr<State> state) : state_(std::move(state)) {}

Process::Process(Process&&) noexcept = default;

Process& Process::operator=(Process&& other) noexcept {
    if (this == &other) return *this;
    Process previous(std::move(*this));
    state_ = std::move(other.state_);
    return *this;
}

Process::~Process() {
    if (!state_ || state_->termination) return;
    // Closing our ends first lets a child blocked on a full pipe notice that nobody listens.
    state_->input.reset();
    state_->output.reset();
    state_->error.reset();
    terminate();
    if (waitFor(graceBeforeKill)) return;
    signal(SIGKILL);
    wait();
}

int Process::pid() const { return state_->pid; }

int Process::pidFd() const { return state_->pidFd.get(); }

UniqueFd& Process::inputPipe() { return state_->input; }
UniqueFd& Process::outputPipe() { return state_->output; }
UniqueFd& Process::errorPipe() { return state_->error; }

bool Process::isRunning() const { return !becomesReadable(pidFd()); }

void Process::terminate() const { signal(SIGTERM); }

void Process::signal(int signalNumber) const {
    // ESRCH once the child has ended: exactly the "does nothing" that callers rely on.
    sendSignal(pidFd(), signalNumber);
}

Termination Process::wait() {
    if (!state_->termination) state_->termination = reapChild(pidFd(), true);
    return *state_->termination;
}

std::optional<Termination> Process::waitFor(std::chrono::milliseconds limit) {
    if (state_->termination) return state_->termination;
    if (!becomesReadable(pidFd(), limit)) return std::nullopt;
    return wait();
}

struct SharedProcess::Shared {
    explicit Shared(Process owned)
        : process(std::move(owned)),
          input(std::move(process.inputPipe())),
          output(std::move(process.outputPipe())),
          error(std::move(process.errorPipe())) {}

    // Only the reaping thread calls process.wait(); everyone else uses the calls that read
    // nothing but the pid and pidfd.
    Process process;
    std::mutex mutex;
    std::condition_variable reaped;
    bool reaping = false;
    bool watching = false;
    std::optional<Termination> ended;
    std::vector<std::function<void(Termination)>> handlers;
    UniqueFd input;
    UniqueFd output;
    UniqueFd error;
};

SharedProcess::SharedProcess(Process process) : shared_(std::make_shared<Shared>(std::move(process))) {}

int SharedProcess::pid() const { return shared_->process.pid(); }

int SharedProcess::pidFd() const { return shared_->process.pidFd(); }

bool SharedProcess::isRunning() const {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->ended) return false;
    }
    return shared_->process.isRunning();
}

void SharedProcess::terminate() const { shared_->process.terminate(); }

void SharedProcess::signal(int signalNumber) const { shared_->process.signal(signalNumber); }

Termination SharedProcess::wait() { return reap(*shared_); }

// One thread at a time blocks in waitid; the others wait for its answer.
Termination SharedProcess::reap(Shared& shared) {
    std::unique_lock lock(shared.mutex);
    shared.reaped.wait(lock, [&] { return shared.ended || !shared.reaping; });
    if (shared.ended) return *shared.ended;
    shared.reaping = true;
    lock.unlock();

    const Termination termination = shared.process.wait();

    lock.lock();
    shared.ended = termination;
    shared.reaping = false;
    auto handlers = std::exchange(shared.handlers, {});
    lock.unlock();
    shared.reaped.notify_all();
    for (auto& handler : handlers) handler(termination);
    return termination;
}

// The loop's registration holds its own share, so the child stays watched and is reaped even
// when every other handle is gone; by the time it fires the child has ended, and reaping is
// immediate.
void SharedProcess::onExit(dispatch::EventLoop& loop, std::function<void(Termination)> handler) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->ended) {
        const Termination termination = *shared_->ended;
        lock.unlock();
        handler(termination);
        return;
    }
    shared_->handlers.push_back(std::move(handler));
    if (std::exchange(shared_->watching, true)) return;
    lock.unlock();
    loop.whenReadable(pidFd(), [shared = shared_] { reap(*shared); });
}

UniqueFd SharedProcess::takeInputPipe() {
    std::lock_guard lock(shared_->mutex);
    return std::move(shared_->input);
}

UniqueFd SharedProcess::takeOutputPipe() {
    std::lock_guard lock(shared_->mutex);
    return std::move(shared_->output);
}

UniqueFd SharedProcess::takeErrorPipe() {
    std::lock_guard lock(shared_->mutex);
    return std::move(shared_->error);
}

bool isExecutableFile(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) return false;
    return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

}  // namespace companion::process
