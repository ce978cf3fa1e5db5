#pragma once
// What a mount process writes on its standard error, kept so that a mount that fails before it
// has a log can still say why (an option rclone refuses never reaches its log).
//
// The pipe is drained on the event loop until it closes, so a process that writes more than a
// pipe holds never blocks on it; only the last `errorTailLimit` bytes are kept, and nothing
// more once the mount is up.

#include <memory>
#include <mutex>
#include <string>

#include "platform/unique_fd.h"

namespace companion::dispatch {
class EventLoop;
}

namespace companion::mounts {

inline constexpr size_t errorTailLimit = 4096;

class ErrorTail {
public:
    // Starts draining `pipe` (the parent's end of the child's standard error) on `loop`.
    static std::shared_ptr<ErrorTail> follow(const std::shared_ptr<dispatch::EventLoop>& loop, UniqueFd pipe);

    // What was kept, with whatever the pipe holds now read first. Any thread.
    std::string text();
    // The mount came up: what follows is drained and dropped.
    void stopKeeping();

    explicit ErrorTail(UniqueFd pipe);

private:
    static void watch(const std::shared_ptr<dispatch::EventLoop>& loop, const std::shared_ptr<ErrorTail>& tail);
    // Reads what is there; false once the pipe has ended.
    bool readAvailable();
    bool readLocked();

    std::mutex lock_;
    UniqueFd pipe_;
    std::string kept_;
    bool keeping_ = true;
    bool ended_ = false;
};

}  // namespace companion::mounts
