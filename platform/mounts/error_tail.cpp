#include "platform/mounts/error_tail.h"

#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/dispatch/event_loop.h"

namespace companion::mounts {

ErrorTail::ErrorTail(UniqueFd pipe) : pipe_(std::move(pipe)) { setNonBlocking(pipe_.get()); }

std::shared_ptr<ErrorTail> ErrorTail::follow(const std::shared_ptr<dispatch::EventLoop>& loop, UniqueFd pipe) {
    auto tail = std::make_shared<ErrorTail>(std::move(pipe));
    if (tail->pipe_) watch(loop, tail);
    return tail;
}

// The task owns the tail, and so the descriptor, until it runs; only the loop closes it.
void ErrorTail::watch(const std::shared_ptr<dispatch::EventLoop>& loop, const std::shared_ptr<ErrorTail>& tail) {
    const int fd = tail->pipe_.get();
    loop->whenReadable(fd, [weakLoop = std::weak_ptr(loop), tail] {
        if (tail->readAvailable()) {
            if (auto live = weakLoop.lock()) return watch(live, tail);
        }
        const std::lock_guard guard(tail->lock_);
        tail->pipe_.reset();
    });
}

bool ErrorTail::readAvailable() {
    const std::lock_guard guard(lock_);
    return readLocked();
}

bool ErrorTail::readLocked() {
    std::array<char, 4096> buffer{};
    while (!ended_) {
        const ssize_t count = ::read(pipe_.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) return true;
        if (count <= 0) {
            ended_ = true;
            break;
        }
        if (!keeping_) continue;
        kept_.append(buffer.data(), static_cast<size_t>(count));
        if (kept_.size() > errorTailLimit) kept_.erase(0, kept_.size() - errorTailLimit);
    }
    return false;
}

std::string ErrorTail::text() {
    const std::lock_guard guard(lock_);
    if (pipe_) readLocked();
    return kept_;
}

void ErrorTail::stopKeeping() {
    const std::lock_guard guard(lock_);
    keeping_ = false;
    kept_.clear();
}

}  // namespace companion::mounts
