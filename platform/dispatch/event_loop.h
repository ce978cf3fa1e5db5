#pragma once
// One thread that waits on many descriptors at once (epoll), runs work posted from other
// threads, and fires deadlines. The agent carries every client connection on it, so a
// thousand idle clients cost a thousand registrations, not a thousand threads.
//
// A pass of the loop: wait (until the earliest deadline), dispatch readiness, run posted work,
// fire expired deadlines, release what was closed during the pass. Watches and deadlines are
// created, changed and dropped on the loop's own thread only (or before it starts); `post` and
// `whenReadable` are the doors in from other threads.
//
// The loop fails loudly: a watch the kernel refuses reports its descriptor's end to its handler
// instead of staying silent, and a wait that fails for an unexpected reason ends the process
// with a message, rather than leaving a loop that no longer runs while `post` still accepts.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace companion::dispatch {

// What a watch wants to hear about a descriptor.
enum class Interest : uint8_t { none = 0, read = 1, write = 2, readWrite = 3 };

constexpr Interest operator|(Interest a, Interest b) {
    return static_cast<Interest>(static_cast<uint8_t>(a) | static_cast<uint8_t>(b));
}
constexpr bool wants(Interest interest, Interest part) {
    return (static_cast<uint8_t>(interest) & static_cast<uint8_t>(part)) != 0;
}

// What a handler is told: only the readiness its watch still asks for, plus the end of the
// descriptor (hang-up or error), which is always reported.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool ended = false;
};

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;
    using ReadyHandler = std::function<void(Readiness)>;

    EventLoop();
    ~EventLoop();  // stops and joins the thread
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The interest in one descriptor; dropping the handle stops watching it. Loop thread only.
    class Watch {
    public:
        Watch() = default;
        Watch(Watch&& other) noexcept;
        Watch& operator=(Watch&& other) noexcept;
        ~Watch() { reset(); }
        // `Interest::none` still reports the descriptor's end.
        void setInterest(Interest interest);
        void reset();
        explicit operator bool() const { return loop_ != nullptr; }

    private:
        friend class EventLoop;
        Watch(EventLoop* loop, uint64_t key) : loop_(loop), key_(key) {}
        EventLoop* loop_ = nullptr;
        uint64_t key_ = 0;
    };

    // A pending deadline; dropping the handle cancels it. Loop thread only.
    class Deadline {
    public:
        Deadline() = default;
        Deadline(Deadline&& other) noexcept;
        Deadline& operator=(Deadline&& other) noexcept;
        ~Deadline() { cancel(); }
        void cancel();
        bool armed() const;

    private:
        friend class EventLoop;
        using Key = std::pair<Clock::time_point, uint64_t>;
        Deadline(EventLoop* loop, Key key) : loop_(loop), key_(key) {}
        EventLoop* loop_ = nullptr;
        Key key_{};
    };

    // Starts the loop's thread; the loop runs until `stop` or destruction.
    void start();
    void stop();
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `task` on the loop's thread, in posting order. Any thread. False once the loop has
    // stopped for good: the task is dropped unrun.
    bool post(Task task);

    Watch watch(int fd, Interest interest, ReadyHandler handler);
    // Runs `task` once on the loop's thread when `fd` becomes readable or hangs up. The loop
    // holds the registration itself, so nobody has to keep a handle for a wait that may last
    // for hours (a process's pidfd); `fd` must stay open until then, and `task` is the natural
    // owner of it. Any thread.
    void whenReadable(int fd, Task task);
    Deadline after(Clock::duration delay, Task task);
    // Keeps `object` alive until the end of the current pass, so a handler that closes its own
    // owner still returns into a live object.
    void releaseAtEndOfPass(std::shared_ptr<void> object);

    // What is the loop's own (watches, deadlines, the release list, and what its users keep
    // for it alone) is touched only on its thread, or while it has none (before `start`, after
    // `stop`); checked in builds with assertions (the sanitizer builds).
    void assertConfined() const;

    // Descriptors watched now (for tests and benchmarks).
    size_t watchCount() const { return liveWatches_; }

private:
    struct Slot {
        uint32_t generation = 0;
        int fd = -1;
        // A duplicate of `fd`, registered in its place when `fd` already has a watch: the
        // kernel keeps one registration per open descriptor.
        UniqueFd duplicate;
        Interest interest = Interest::none;
        ReadyHandler handler;
        int registered() const { return duplicate ? duplicate.get() : fd; }
    };

    void run();
    uint64_t addWatch(int fd, Interest interest, ReadyHandler handler);
    bool registerSlot(Slot& slot, uint64_t key);
    void reportEndLater(uint64_t key);
    void dispatch(uint64_t key, uint32_t events);
    std::optional<Clock::time_point> nextDeadline() const;
    void runPosted();
    void fireDeadlines();
    void unwatch(uint64_t key);
    void setInterest(uint64_t key, Interest interest);
    Slot* slotFor(uint64_t key);

    UniqueFd epoll_;
    UniqueFd wakeup_;  // an eventfd: posted work or stop
    std::thread thread_;
    bool stopping_ = false;  // loop thread only

    std::mutex postedMutex_;
    std::vector<Task> posted_;  // guarded by postedMutex_
    bool closed_ = false;       // guarded by postedMutex_: the loop has stopped for good

    std::vector<Slot> slots_;
    std::vector<uint32_t> freeSlots_;
    size_t liveWatches_ = 0;
    std::map<Deadline::Key, Task> deadlines_;
    uint64_t nextDeadlineId_ = 0;
    std::vector<std::shared_ptr<void>> releasing_;
};

}  // namespace companion::dispatch
