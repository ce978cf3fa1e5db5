#include "platform/dispatch/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/descriptor_wait.h"
#include "platform/log/log.h"

namespace companion::dispatch {

namespace {

// Readiness reports taken per wait; more simply wait for the next pass.
constexpr int eventsPerWait = 256;
// The key of the loop's own wake-up descriptor; a watch's key never reaches it.
constexpr uint64_t wakeupKey = UINT64_MAX;

uint64_t keyOf(uint32_t index, uint32_t generation) { return (uint64_t{generation} << 32) | index; }
uint32_t indexOf(uint64_t key) { return static_cast<uint32_t>(key & 0xffffffffu); }
uint32_t generationOf(uint64_t key) { return static_cast<uint32_t>(key >> 32); }

uint32_t epollEventsOf(Interest interest) {
    return (wants(interest, Interest::read) ? uint32_t{EPOLLIN} : 0u) |
           (wants(interest, Interest::write) ? uint32_t{EPOLLOUT} : 0u);
}

// Only what the watch asks for now: its interest may have changed earlier in the same batch.
Readiness readinessOf(uint32_t events, Interest interest) {
    return {wants(interest, Interest::read) && (events & EPOLLIN) != 0,
            wants(interest, Interest::write) && (events & EPOLLOUT) != 0,
            (events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0};
}

// A loop that cannot wait any more carries every connection and every tool run of the agent:
// going on without it would leave callers waiting for ever, so the process ends, and says why.
[[noreturn]] void failLoudly(const char* what, int error) {
    log::warn(log::Kind::loopError, std::string("the event loop cannot ") + what + ": " + std::strerror(error));
    std::abort();
}

void noteRefusedWatch(int fd, int error) {
    log::warn(log::Kind::loopError,
              "the event loop cannot watch descriptor " + std::to_string(fd) + ": " + std::strerror(error));
}

}  // namespace

// ---- handles ----

EventLoop::Watch::Watch(Watch&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), key_(other.key_) {}

EventLoop::Watch& EventLoop::Watch::operator=(Watch&& other) noexcept {
    if (this != &other) {
        reset();
        loop_ = std::exchange(other.loop_, nullptr);
        key_ = other.key_;
    }
    return *this;
}

void EventLoop::Watch::setInterest(Interest interest) {
    if (loop_) loop_->setInterest(key_, interest);
}

void EventLoop::Watch::reset() {
    if (auto* loop = std::exchange(loop_, nullptr)) loop->unwatch(key_);
}

EventLoop::Deadline::Deadline(Deadline&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), key_(other.key_) {}

EventLoop::Deadline& EventLoop::Deadline::operator=(Deadline&& other) noexcept {
    if (this != &other) {
        cancel();
        loop_ = std::exchange(other.loop_, nullptr);
        key_ = other.key_;
    }
    return *this;
}

void EventLoop::Deadline::cancel() {
    // A deadline that already fired is no longer in the map; erasing its key does nothing.
    if (auto* loop = std::exchange(loop_, nullptr)) {
        loop->assertConfined();
        loop->deadlines_.erase(key_);
    }
}

bool EventLoop::Deadline::armed() const { return loop_ && loop_->deadlines_.contains(key_); }

// ---- the loop ----

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!epoll_) failLoudly("be created", errno);
    if (!wakeup_) failLoudly("make its wake-up descriptor", errno);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeupKey;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeup_.get(), &event) != 0) failLoudly("watch its wake-up", errno);
}

EventLoop::~EventLoop() {
    stop();
    // What the registrations hold may hold handles on this loop (a process watched to its end,
    // a run holding its own watches); as they go, those find the loop already empty.
    auto slots = std::move(slots_);
    slots_.clear();
    auto deadlines = std::move(deadlines_);
    deadlines_.clear();
    releasing_.clear();
}

void EventLoop::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void EventLoop::stop() {
    if (thread_.joinable()) {
        post([this] { stopping_ = true; });
        thread_.join();
    }
    // Work posted from now on would never run; what it holds (often an owner of this loop) is
    // let go at once instead of being kept for ever.
    std::vector<Task> dropped;
    std::lock_guard lock(postedMutex_);
    closed_ = true;
    dropped.swap(posted_);
}

bool EventLoop::post(Task task) {
    bool wasEmpty;
    {
        std::lock_guard lock(postedMutex_);
        if (closed_) return false;
        wasEmpty = posted_.empty();
        posted_.push_back(std::move(task));
    }
    // One wake-up covers everything posted before the loop takes the list.
    if (!wasEmpty) return true;
    uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeup_.get(), &one, sizeof one);
    return true;
}

EventLoop::Watch EventLoop::watch(int fd, Interest interest, ReadyHandler handler) {
    return Watch(this, addWatch(fd, interest, std::move(handler)));
}

void EventLoop::whenReadable(int fd, Task task) {
    auto registration = [this, fd, task = std::move(task)]() mutable {
        auto key = std::make_shared<uint64_t>();
        *key = addWatch(fd, Interest::read, [this, key, task = std::move(task)](Readiness) {
            unwatch(*key);
            task();
        });
    };
    if (isCurrent()) return registration();
    post(std::move(registration));
}

void EventLoop::assertConfined() const {
    assert(!thread_.joinable() || isCurrent());
}

uint64_t EventLoop::addWatch(int fd, Interest interest, ReadyHandler handler) {
    assertConfined();
    uint32_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        index = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    slot.fd = fd;
    slot.interest = interest;
    slot.handler = std::move(handler);
    const uint64_t key = keyOf(index, slot.generation);
    ++liveWatches_;
    if (!registerSlot(slot, key)) {
        noteRefusedWatch(fd, errno);
        reportEndLater(key);
    }
    return key;
}

bool EventLoop::registerSlot(Slot& slot, uint64_t key) {
    epoll_event event{};
    event.events = epollEventsOf(slot.interest);
    event.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, slot.fd, &event) == 0) return true;
    if (errno != EEXIST) return false;
    slot.duplicate.reset(::fcntl(slot.fd, F_DUPFD_CLOEXEC, 0));
    return slot.duplicate && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, slot.duplicate.get(), &event) == 0;
}

// A descriptor the kernel will not watch (out of memory, over the user's watch limit, not
// pollable) would otherwise never be heard of again: its owner learns at once that it has ended.
void EventLoop::reportEndLater(uint64_t key) {
    post([this, key] {
        Slot* slot = slotFor(key);
        if (!slot) return;
        ReadyHandler handler = slot->handler;
        handler(Readiness{false, false, true});
    });
}

EventLoop::Slot* EventLoop::slotFor(uint64_t key) {
    const uint32_t index = indexOf(key);
    if (index >= slots_.size()) return nullptr;
    Slot& slot = slots_[index];
    if (slot.generation != generationOf(key) || slot.fd < 0) return nullptr;
    return &slot;
}

void EventLoop::setInterest(uint64_t key, Interest interest) {
    assertConfined();
    Slot* slot = slotFor(key);
    // Most changes asked for are none; a system call for each would be the loop's largest cost.
    if (!slot || slot->interest == interest) return;
    slot->interest = interest;
    epoll_event event{};
    event.events = epollEventsOf(interest);
    event.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, slot->registered(), &event) != 0) {
        noteRefusedWatch(slot->fd, errno);
        reportEndLater(key);
    }
}

void EventLoop::unwatch(uint64_t key) {
    assertConfined();
    Slot* slot = slotFor(key);
    if (!slot) return;
    // Fails only for a descriptor its owner closed first, and closing already ended the
    // registration; nothing is left to undo.
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, slot->registered(), nullptr);
    slot->fd = -1;
    slot->duplicate.reset();
    // A new generation makes any report still queued for this slot in the current batch stale.
    ++slot->generation;
    // The handler may be the caller: it goes at the end of the pass, not under its own feet.
    releasing_.push_back(std::make_shared<ReadyHandler>(std::move(slot->handler)));
    slot->handler = nullptr;
    freeSlots_.push_back(indexOf(key));
    --liveWatches_;
}

EventLoop::Deadline EventLoop::after(Clock::duration delay, Task task) {
    assertConfined();
    const Deadline::Key key{Clock::now() + delay, nextDeadlineId_++};
    deadlines_.emplace(key, std::move(task));
    return Deadline(this, key);
}

void EventLoop::releaseAtEndOfPass(std::shared_ptr<void> object) {
    assertConfined();
    releasing_.push_back(std::move(object));
}

void EventLoop::run() {
    std::vector<epoll_event> events(eventsPerWait);
    while (!stopping_) {
        const int ready =
            ::epoll_wait(epoll_.get(), events.data(), eventsPerWait, millisecondsUntil(nextDeadline()));
        if (ready < 0 && errno != EINTR) failLoudly("wait", errno);
        for (int i = 0; i < std::max(ready, 0); ++i) dispatch(events[i].data.u64, events[i].events);
        runPosted();
        fireDeadlines();
        releasing_.clear();
    }
    releasing_.clear();
}

void EventLoop::dispatch(uint64_t key, uint32_t events) {
    if (key == wakeupKey) return;
    Slot* slot = slotFor(key);
    if (!slot) return;
    const Readiness readiness = readinessOf(events, slot->interest);
    if (!readiness.readable && !readiness.writable && !readiness.ended) return;
    // Copied first: the handler may drop its own watch, and with it the slot's contents.
    ReadyHandler handler = slot->handler;
    handler(readiness);
}

std::optional<EventLoop::Clock::time_point> EventLoop::nextDeadline() const {
    if (deadlines_.empty()) return std::nullopt;
    return deadlines_.begin()->first.first;
}

void EventLoop::runPosted() {
    uint64_t count;
    [[maybe_unused]] auto ignored = ::read(wakeup_.get(), &count, sizeof count);
    std::vector<Task> tasks;
    {
        std::lock_guard lock(postedMutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();
}

void EventLoop::fireDeadlines() {
    const auto now = Clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first.first <= now) {
        auto node = deadlines_.extract(deadlines_.begin());
        node.mapped()();
    }
}

}  // namespace companion::dispatch
