#pragma once
// One client connection of the agent: carried by the event loop (frames in, replies out, its
// time limits and its share of the byte budget), its messages handled in arrival order on its
// own serial queue. Bad input of any kind ends this connection and nothing else.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/event_loop.h"
#include "platform/ipc/connection.h"
#include "platform/ipc/wire.h"
#include "platform/unique_fd.h"

namespace companion::ipc {

// Serves the messages of one connection: false when a message does not fit the protocol, which
// ends the connection. `reply` is empty for one-way messages.
using ExportedHandler =
    std::function<bool(const std::string& selector, bool oneWay, const Json& arguments, std::function<void(Json)> reply)>;

// What a connection may hold and how long it may take. The defaults are the agent's; tests
// shrink them.
struct ConnectionLimits {
    // Bytes one connection may hold (the frame being assembled, frames waiting for its queue,
    // replies not yet taken by its client) before it is no longer read. One of the largest
    // requests and a little more: a large request is always received whole, and while one is
    // handled (decoded, it takes about twice its size) the next waits in the client's socket.
    size_t connectionBudget = size_t{maxRequestFrame} + frameHeaderSize + (64u << 10);
    // Bytes all connections together may hold in requests before the ones holding more than
    // `pressureAllowance` are no longer read: many clients sending large calls at once still
    // cannot add up past this.
    size_t agentBudget = 32u << 20;
    // Replies a client has not taken beyond which its further requests wait: a client that does
    // not read its answers is not given more of them.
    size_t unreadReplies = 256u << 10;
    // Under agent-wide pressure a connection holding less than this is still read, so a client
    // sending small calls (a greeting) is served while others flood.
    size_t pressureAllowance = 64u << 10;
    // A frame that has begun must be complete within this time. A local client writes a whole
    // 4 MiB frame in milliseconds; ten seconds leaves room for a paused or swapped-out client
    // and still frees what a stalled one holds.
    std::chrono::milliseconds frameTimeLimit{10'000};
    // A client that takes none of its waiting replies for this long loses its connection.
    std::chrono::milliseconds writeStallLimit{30'000};
    // When descriptors run out, accepting waits for a connection to close, or this long.
    std::chrono::milliseconds acceptRetryDelay{1'000};
};

class ServerConnection;

// The request bytes that all connections of one listener hold together, and the connections
// waiting for that total to go down before they read again.
class ByteBudget : public std::enable_shared_from_this<ByteBudget> {
public:
    explicit ByteBudget(std::shared_ptr<dispatch::EventLoop> loop) : loop_(std::move(loop)) {}
    // Before any connection holds bytes.
    void setLimit(size_t limit) { limit_ = limit; }
    // Loop thread: `drained` runs there whenever the total returns to zero after a burst of
    // large requests.
    void whenDrainedAfterBurst(std::function<void()> drained) { drainedAfterBurst_ = std::move(drained); }

    // Any thread.
    size_t held() const { return held_; }
    bool underPressure() const { return held_ >= limit_; }
    void hold(size_t bytes);
    void release(size_t bytes);
    // Loop thread: `ready` runs there once the total is back under the limit.
    void whenRelieved(std::function<void()> ready);

private:
    void relieve();

    std::shared_ptr<dispatch::EventLoop> loop_;
    std::function<void()> drainedAfterBurst_;
    size_t limit_ = 0;
    std::vector<std::function<void()>> waiting_;  // loop thread only
    std::atomic<size_t> held_{0};
    std::atomic<bool> someoneWaits_{false};
    std::atomic<bool> largeBurst_{false};
};

// What a connection needs of whoever carries it, and nothing more.
struct ConnectionHost {
    std::shared_ptr<dispatch::EventLoop> loop;
    ConnectionLimits limits;
    std::shared_ptr<ByteBudget> budget;
    // Where the loop reads sockets into: one for all, since only the loop's thread reads.
    std::shared_ptr<std::string> readBuffer;
    // The end notice, on the loop's thread, once the connection has ended.
    std::function<void(ServerConnection*)> ended;
};

class ServerConnection final : public Connection, public std::enable_shared_from_this<ServerConnection> {
public:
    ServerConnection(UniqueFd socket, std::shared_ptr<dispatch::Queue> queue, ConnectionHost host);
    ~ServerConnection() override;

    // Set these before `resume`.
    void setExportedHandler(ExportedHandler handler);
    // Who the peer is ("pid 12, uid 1000, ..."), for the line that says why it was ended.
    void setPeerDescription(std::string description) { peer_ = std::move(description); }
    void setInvalidationHandler(std::function<void()> handler);

    // Greets the peer and starts reading.
    void resume();
    // Ends the connection; the invalidation handler runs once, on the connection's queue.
    void invalidate();
    void sendOneWay(std::string_view selector, Json arguments) override;
    void sendFrames(const std::string& frames) override;
    bool isBehind() const override;
    void whenCaughtUp(std::function<void()> ready) override;

    dispatch::Queue& queue() { return *queue_; }
    // Ends when the connection has ended and the invalidation handler has run.
    void waitUntilFinished();

    // Loop thread: ends the connection at once.
    void end();

    // Why the agent ends a connection, as its log line says.
    static constexpr std::string_view frameTooLong = "a frame longer than the limit";
    static constexpr std::string_view greetingRefused = "a greeting of another protocol or version";
    static constexpr std::string_view messageMisfit = "a message that does not fit the protocol";
    static constexpr std::string_view frameTooSlow = "a frame not completed within its time limit";
    static constexpr std::string_view repliesNotTaken = "replies not taken within the time limit";

private:
    // ---- loop thread ----
    // Ends the connection for a fault of the peer's, and says so.
    void endFor(std::string_view why);
    void watchSocket();
    void onReady(dispatch::Readiness readiness);
    void readAvailable();
    bool acceptFrame(std::string payload);
    void flushOutbound();
    void updateInterest();
    bool wantsReading() const;
    void trackFrameDeadline();
    void accountReader();

    // ---- the connection's queue ----
    void handle(std::string payload);
    void handled(size_t bytes);
    void send(const Message& message);
    void enqueue(const std::string& frames);

    size_t outboundSize() const;
    bool isBehindLocked() const;
    void runCaughtUpWaiters();

    ConnectionHost host_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::string peer_;
    ExportedHandler exported_;
    std::function<void()> invalidationHandler_;
    std::atomic<bool> invalidated_{false};
    dispatch::Group finished_;

    // Loop thread only.
    dispatch::EventLoop::Watch watch_;
    dispatch::EventLoop::Deadline frameDeadline_;
    dispatch::EventLoop::Deadline writeDeadline_;
    FrameReader reader_{maxRequestFrame};
    size_t readerAccounted_ = 0;  // the reader's bytes as counted in the agent-wide total
    bool greeted_ = false;
    bool ended_ = false;
    bool writing_ = false;  // the loop watches for writability
    bool reading_ = false;  // the loop watches for readability

    // Frames handed to the queue and not yet handled; any thread.
    std::atomic<size_t> pendingBytes_{0};
    // The loop stopped reading for the budget and waits to be told the bytes went down.
    std::atomic<bool> heldForBudget_{false};

    // The socket and what waits to be written to it; any thread, under outMutex_.
    mutable std::mutex outMutex_;
    UniqueFd socket_;
    std::string outbound_;
    size_t outboundOffset_ = 0;
    std::vector<std::function<void()>> caughtUpWaiters_;
};

}  // namespace companion::ipc
