#pragma once
// Queues in the manner the agent's design needs them: one main queue served by the main
// thread's run loop, labelled serial and concurrent queues over one thread pool, work items
// that can be cancelled while pending, and groups.
//
// The pool runs about as many threads as there are cores; a task that waits in a tool run says
// so (`Blocking`), and another thread takes its place meanwhile, so a wait of minutes never
// delays another queue. Threads that stay idle retire.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/event_loop.h"

namespace companion::dispatch {

using Task = std::function<void()>;
using Clock = std::chrono::steady_clock;

// A task that can be cancelled until it starts.
class WorkItem {
public:
    explicit WorkItem(Task task);
    void cancel();
    // Runs the task unless it was cancelled.
    void perform();

private:
    bool isCancelled() const;
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    Task task_;
};

class Queue {
public:
    virtual ~Queue() = default;
    virtual void async(Task task) = 0;
    void async(std::shared_ptr<WorkItem> item);
    // Runs `task` on this queue and waits for it. Never call it from a task of the same queue
    // (the main queue is the exception: there it runs the task directly).
    virtual void sync(Task task);
    const std::string& label() const { return label_; }

protected:
    explicit Queue(std::string label) : label_(std::move(label)) {}

private:
    std::string label_;
};

class ThreadPool;

// Held by a task while it waits without using the CPU (for a tool to end): the pool that runs
// the task lends its place to another thread meanwhile. Does nothing on threads of no pool.
class Blocking {
public:
    Blocking();
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

private:
    ThreadPool* pool_;
};

// Serves the main thread. `run` processes tasks and timers until `stop`.
class MainQueue final : public Queue {
public:
    MainQueue();
    ~MainQueue() override;
    void async(Task task) override;
    using Queue::async;
    void sync(Task task) override;
    // Performs `item` on the main queue once `delay` has passed, unless it is cancelled first;
    // behind whatever was queued before it came due.
    void asyncAfter(Clock::duration delay, std::shared_ptr<WorkItem> item);

    // The run loop; returns after `stop` once the task in hand is done.
    void run();
    void stop();
    bool isCurrent() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Owns the pool that every serial and concurrent queue runs on.
class Dispatcher {
public:
    // How long an idle pool thread waits for work before it retires.
    static constexpr Clock::duration defaultIdleLifetime = std::chrono::seconds(5);

    explicit Dispatcher(Clock::duration idleLifetime = defaultIdleLifetime);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    MainQueue& main() { return main_; }
    std::shared_ptr<Queue> makeSerialQueue(std::string label);
    std::shared_ptr<Queue> makeConcurrentQueue(std::string label);
    // The shared concurrent queue, for work that belongs to no session.
    Queue& global() { return *global_; }
    // The one thread that waits on descriptors for everyone: client connections, a running
    // tool's output, a process's end. Started on first use; shared, so that whoever holds a
    // registration on it can still let go of it after the dispatcher is gone.
    const std::shared_ptr<EventLoop>& loop();

    // Threads the pool holds now, busy or idle (for tests and benchmarks).
    size_t threadCount() const;

private:
    std::shared_ptr<ThreadPool> pool_;
    MainQueue main_;
    std::shared_ptr<Queue> global_;
    std::shared_ptr<EventLoop> loop_ = std::make_shared<EventLoop>();
    std::once_flag loopStarted_;
};

// Counts outstanding work; `wait` blocks until the count returns to zero.
class Group {
public:
    void enter();
    void leave();
    void wait();
    // False when the count did not reach zero in time.
    bool waitFor(Clock::duration limit);

private:
    std::mutex mutex_;
    std::condition_variable zero_;
    long count_ = 0;
};

}  // namespace companion::dispatch
