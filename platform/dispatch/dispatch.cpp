#include "platform/dispatch/dispatch.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <queue>
#include <vector>

namespace companion::dispatch {

// A serial queue hands its thread back to the pool after this many tasks in a row, so one busy
// queue cannot hold a pool thread for ever.
constexpr int serialBatch = 16;

// However many threads wait in tool runs, the pool never holds more than this.
constexpr size_t maxPoolThreads = 64;
// Never fewer running threads than this, so that one task that blocks without saying so (a
// file-system check on a dead mount) cannot stall every queue on a single-core machine.
constexpr size_t minPoolWidth = 2;
// How long a pool thread that ran out of work looks for more before it sleeps.
constexpr std::chrono::microseconds spinBeforeSleep{100};

size_t poolWidth() { return std::max<size_t>(minPoolWidth, std::thread::hardware_concurrency()); }

// ---- WorkItem ----

WorkItem::WorkItem(Task task) : task_(std::move(task)) {}

void WorkItem::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

bool WorkItem::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void WorkItem::perform() {
    if (isCancelled()) return;
    task_();
}

// ---- Queue ----

void Queue::async(std::shared_ptr<WorkItem> item) {
    async([item = std::move(item)] { item->perform(); });
}

void Queue::sync(Task task) {
    // Waiting for another queue (a worker hopping to the main thread for a script) uses no CPU.
    const Blocking blocking;
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(mutex);
        done = true;
        doneChanged.notify_one();
    });
    std::unique_lock lock(mutex);
    doneChanged.wait(lock, [&] { return done; });
}

// ---- ThreadPool ----

namespace {
// The pool the calling thread serves, if any: how a task that is about to wait finds the pool
// that should lend its place to another thread meanwhile.
thread_local ThreadPool* servedPool = nullptr;
}  // namespace

// About as many threads run tasks as there are cores. A thread that waits without using the CPU
// (in a tool run) says so, and the pool starts or wakes another in its place, up to a hard cap,
// so blocking work never starves another queue and a burst of short tasks never starts a thread
// each.
class ThreadPool {
public:
    ThreadPool(Clock::duration idleLifetime, size_t width) : idleLifetime_(idleLifetime), width_(width) {}
    ~ThreadPool() { shutdown(); }

    // Joins every thread. Queues may outlive their dispatcher; what they submit afterwards is
    // dropped.
    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        workAvailable_.notify_all();
        std::unique_lock lock(mutex_);
        while (!threads_.empty()) {
            auto node = threads_.extract(threads_.begin());
            lock.unlock();
            // The last owner may be a task on one of our own threads; that one cannot join itself.
            if (node.key() == std::this_thread::get_id())
                node.mapped().detach();
            else
                node.mapped().join();
            lock.lock();
        }
    }

    void submit(Task task) {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
        pending_.store(tasks_.size(), std::memory_order_release);
        engageForQueuedTasks();
    }

    void enterBlocking() {
        std::lock_guard lock(mutex_);
        ++blocked_;
        engageForQueuedTasks();
    }

    void leaveBlocking() {
        std::lock_guard lock(mutex_);
        --blocked_;
    }

    size_t threadCount() {
        std::lock_guard lock(mutex_);
        return threads_.size();
    }

private:
    size_t running() const { return threads_.size() - idle_ - blocked_; }

    // An idle thread takes queued work first: one still spinning takes it without any wake-up,
    // so a sleeper is woken only when none spins. A new thread starts only while fewer than
    // `width_` run and the cap allows. A thread that takes a task from a longer line calls this
    // again, so a burst spreads over the width quickly.
    void engageForQueuedTasks() {
        if (tasks_.empty()) return;
        if (spinning_ > 0) return;
        if (idle_ > 0) {
            workAvailable_.notify_one();
            return;
        }
        if (running() >= width_ || threads_.size() >= maxPoolThreads) return;
        std::thread thread([this] { serve(); });
        threads_.emplace(thread.get_id(), std::move(thread));
    }

    // A task that arrives while the thread still spins is taken without any wake-up, which
    // spares a request-reply exchange most of its handoff cost; after that the thread sleeps.
    bool spinForWork() {
        const auto until = Clock::now() + spinBeforeSleep;
        while (Clock::now() < until) {
            if (pending_.load(std::memory_order_acquire) > 0) return true;
            std::this_thread::yield();
        }
        return false;
    }

    void serve() {
        servedPool = this;
        std::unique_lock lock(mutex_);
        for (;;) {
            while (!tasks_.empty()) {
                Task task = std::move(tasks_.front());
                tasks_.pop_front();
                pending_.store(tasks_.size(), std::memory_order_release);
                engageForQueuedTasks();
                lock.unlock();
                task();
                task = nullptr;  // release what the task captured before going idle
                lock.lock();
            }
            if (stopping_) return;
            ++idle_;
            ++spinning_;
            lock.unlock();
            const bool spunIntoWork = spinForWork();
            lock.lock();
            // Whatever arrived while this thread spun woke nobody; it is this thread's to take.
            --spinning_;
            bool ready = spunIntoWork || stopping_ || !tasks_.empty();
            if (!ready)
                ready = workAvailable_.wait_for(lock, idleLifetime_, [&] { return stopping_ || !tasks_.empty(); });
            --idle_;
            if (!ready) break;
        }
        // Retiring: nobody will join this thread, so it lets go of itself. Past this point it
        // touches nothing of the pool's.
        auto self = threads_.extract(std::this_thread::get_id());
        if (self) self.mapped().detach();
    }

    const Clock::duration idleLifetime_;
    const size_t width_;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::deque<Task> tasks_;
    std::atomic<size_t> pending_{0};  // tasks_.size(), readable without the lock
    std::map<std::thread::id, std::thread> threads_;
    size_t idle_ = 0;      // spinning or asleep
    size_t spinning_ = 0;  // of those, still spinning
    size_t blocked_ = 0;
    bool stopping_ = false;
};

Blocking::Blocking() : pool_(servedPool) {
    if (pool_) pool_->enterBlocking();
}

Blocking::~Blocking() {
    if (pool_) pool_->leaveBlocking();
}

// ---- Serial and concurrent queues ----

namespace {

class ConcurrentQueue final : public Queue {
public:
    ConcurrentQueue(std::string label, std::shared_ptr<ThreadPool> pool)
        : Queue(std::move(label)), pool_(std::move(pool)) {}
    void async(Task task) override { pool_->submit(std::move(task)); }
    using Queue::async;

private:
    std::shared_ptr<ThreadPool> pool_;
};

class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
public:
    SerialQueue(std::string label, std::shared_ptr<ThreadPool> pool)
        : Queue(std::move(label)), pool_(std::move(pool)) {}

    void async(Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        if (draining_) return;
        draining_ = true;
        scheduleDrain();
    }
    using Queue::async;

private:
    void scheduleDrain() {
        pool_->submit([self = shared_from_this()] { self->drain(); });
    }

    void drain() {
        for (int done = 0; done < serialBatch; ++done) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) {
                    draining_ = false;
                    return;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
            draining_ = false;
            return;
        }
        scheduleDrain();
    }

    std::shared_ptr<ThreadPool> pool_;
    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool draining_ = false;
};

}  // namespace

// ---- MainQueue ----

struct MainQueue::State {
    struct Timer {
        Clock::time_point deadline;
        uint64_t order;
        std::shared_ptr<WorkItem> item;
        bool operator>(const Timer& other) const {
            return deadline != other.deadline ? deadline > other.deadline : order > other.order;
        }
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Task> tasks;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
    uint64_t nextOrder = 0;
    bool stopping = false;
    std::thread::id owner = std::this_thread::get_id();
};

MainQueue::MainQueue() : Queue("main"), state_(std::make_unique<State>()) {}
MainQueue::~MainQueue() = default;

void MainQueue::async(Task task) {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    state_->changed.notify_one();
}

void MainQueue::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    Queue::sync(std::move(task));
}

void MainQueue::asyncAfter(Clock::duration delay, std::shared_ptr<WorkItem> item) {
    std::lock_guard lock(state_->mutex);
    state_->timers.push({Clock::now() + delay, state_->nextOrder++, std::move(item)});
    state_->changed.notify_one();
}

bool MainQueue::isCurrent() const {
    std::lock_guard lock(state_->mutex);
    return state_->owner == std::this_thread::get_id();
}

void MainQueue::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_one();
}

void MainQueue::run() {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    s.owner = std::this_thread::get_id();
    s.stopping = false;
    while (!s.stopping) {
        // A timer that has come due takes its turn behind the tasks queued before: a busy main
        // thread must not let the idle exit overtake a connection counted while it was busy.
        const auto now = Clock::now();
        while (!s.timers.empty() && s.timers.top().deadline <= now) {
            s.tasks.push_back([item = s.timers.top().item] { item->perform(); });
            s.timers.pop();
        }
        if (!s.tasks.empty()) {
            Task task = std::move(s.tasks.front());
            s.tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            continue;
        }
        if (s.timers.empty()) {
            s.changed.wait(lock);
        } else {
            // a copy: the heap may reallocate while we wait
            const auto nextDeadline = s.timers.top().deadline;
            s.changed.wait_until(lock, nextDeadline);
        }
    }
}

// ---- Dispatcher ----

Dispatcher::Dispatcher(Clock::duration idleLifetime)
    : pool_(std::make_shared<ThreadPool>(idleLifetime, poolWidth())),
      global_(std::make_shared<ConcurrentQueue>("global", pool_)) {}

// The threads end with the dispatcher, even while queues still hold the pool or handlers hold the
// loop: otherwise the last of them could release it from one of its own threads.
Dispatcher::~Dispatcher() {
    loop_->stop();
    pool_->shutdown();
}

const std::shared_ptr<EventLoop>& Dispatcher::loop() {
    std::call_once(loopStarted_, [this] { loop_->start(); });
    return loop_;
}

std::shared_ptr<Queue> Dispatcher::makeSerialQueue(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label), pool_);
}

std::shared_ptr<Queue> Dispatcher::makeConcurrentQueue(std::string label) {
    return std::make_shared<ConcurrentQueue>(std::move(label), pool_);
}

size_t Dispatcher::threadCount() const { return pool_->threadCount(); }

// ---- Group ----

void Group::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::lock_guard lock(mutex_);
    if (--count_ <= 0) zero_.notify_all();
}

void Group::wait() {
    std::unique_lock lock(mutex_);
    zero_.wait(lock, [&] { return count_ <= 0; });
}

bool Group::waitFor(Clock::duration limit) {
    std::unique_lock lock(mutex_);
    return zero_.wait_for(lock, limit, [&] { return count_ <= 0; });
}

}  // namespace companion::dispatch
