#pragma once
// Child processes started by absolute path, never through PATH or a shell.
//
// Every descriptor this layer opens is close-on-exec, so a child inherits nothing but its
// three standard streams. Signals go through a pidfd: once the child has been reaped, its
// pid may be recycled, and a pidfd can never reach the newcomer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/environment.h"
#include "platform/unique_fd.h"

namespace companion::dispatch {
class EventLoop;
}

namespace companion::process {

// True for a regular file that this process may execute: a directory passes access(2) too, yet
// could never be launched.
bool isExecutableFile(const std::string& path);

// Where one of the child's standard streams goes.
enum class Stream {
    inherit,     // the parent's own stream
    nullDevice,  // /dev/null
    pipe,        // a pipe whose other end the parent holds
};

struct LaunchOptions {
    std::string executable{};                  // absolute path
    std::vector<std::string> arguments{};      // after the program name
    std::optional<Environment> environment{};  // absent: inherit the parent's
    Stream input = Stream::nullDevice;
    Stream output = Stream::nullDevice;
    Stream error = Stream::nullDevice;
};

// How a child ended: its exit code, or the number of the signal that ended it.
struct Termination {
    enum class Kind { exited, signalled } kind = Kind::exited;
    int code = 0;
    // The termination status as callers report it: exit code or signal number.
    int32_t status() const { return code; }
    bool operator==(const Termination&) const = default;
};

// One child. Not shared between threads, except that pid(), pidFd(), isRunning(), terminate()
// and signal() only read what never changes after launch, so they may be called from any
// thread while one thread waits.
class Process {
public:
    // Starts the child. On failure returns a readable description naming the file and why.
    // The child starts with an empty signal mask and every signal at its default action,
    // whatever this process ignores or blocks.
    static std::variant<Process, std::string> launch(const LaunchOptions& options);

    Process(Process&&) noexcept;
    Process& operator=(Process&&) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // A child still running when its Process is destroyed is sent SIGTERM and reaped, so no
    // zombie and no orphan outlives its owner; one that ignores SIGTERM is killed after a grace
    // period.
    ~Process();

    int pid() const;
    // Readable when the child has ended; for poll loops.
    int pidFd() const;

    // The parent's ends of the pipes asked for (invalid when that stream was not a pipe).
    // The caller may take them out to own them.
    UniqueFd& inputPipe();
    UniqueFd& outputPipe();
    UniqueFd& errorPipe();

    // False once the child has ended, whether or not it has been reaped yet.
    bool isRunning() const;
    // SIGTERM through the pidfd; does nothing once the child has ended.
    void terminate() const;
    // Sends any signal through the pidfd; does nothing once the child has ended.
    void signal(int signalNumber) const;

    // Blocks until the child has ended and reaps it. Idempotent: later calls return the same.
    Termination wait();
    // Waits at most `limit`; nothing when the child is still running.
    std::optional<Termination> waitFor(std::chrono::milliseconds limit);

private:
    struct State;
    explicit Process(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// A shareable handle on a running child for long-running work (mounts, syncs): the owner waits,
// others may terminate, from any thread. Copies share one child; the pidfd stays open until the
// last copy is gone, so terminating after the child was reaped can never hit a recycled pid.
// When the last copy goes while the child still runs, it is ended as ~Process() describes,
// unless onExit() handlers are pending: those keep the child's handle alive until it ends.
class SharedProcess {
public:
    explicit SharedProcess(Process process);

    int pid() const;
    // Readable when the child has ended; for poll loops. Open while any copy lives.
    int pidFd() const;
    bool isRunning() const;
    void terminate() const;
    void signal(int signalNumber) const;

    // Blocks until the child ended; safe to call from several threads at once.
    Termination wait();

    // Calls `handler` once with the child's termination: at once on the calling thread when
    // the child has already been reaped, otherwise on `loop`'s thread once the child ends (or on
    // a thread already inside wait()). No thread waits for the child meanwhile. Handlers run in
    // the order they were added, without any lock of this class held.
    void onExit(dispatch::EventLoop& loop, std::function<void(Termination)> handler);

    // Take the parent's end of a pipe (once; later calls return an invalid descriptor).
    UniqueFd takeInputPipe();
    UniqueFd takeOutputPipe();
    UniqueFd takeErrorPipe();

private:
    struct Shared;
    static Termination reap(Shared& shared);
    std::shared_ptr<Shared> shared_;
};

}  // namespace companion::process
