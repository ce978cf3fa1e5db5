#pragma once
// The agent's end of the wire: a listener for a named service and its connections.
//
// Every connection is carried by one event loop thread: it accepts, reads and assembles frames,
// writes what could not be written at once, and keeps each connection's time limits and byte
// budget. Each connection has a private serial queue on which its messages are decoded and
// handled in arrival order. Bad input of any kind ends that one connection and nothing else.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/event_loop.h"
#include "platform/ipc/connection.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"

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

class ListenerCore;

class ServerConnection final : public Connection, public std::enable_shared_from_this<ServerConnection> {
public:
    ServerConnection(UniqueFd socket, dispatch::Dispatcher& dispatcher, std::shared_ptr<ListenerCore> core);
    ~ServerConnection() override;

    // Set both before `resume`.
    void setExportedHandler(ExportedHandler handler);
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

private:
    friend class ListenerCore;

    // ---- loop thread ----
    void watchSocket();
    void onReady(uint32_t events);
    void readAvailable();
    bool acceptFrame(std::string payload);
    void flushOutbound();
    void updateInterest();
    bool wantsReading() const;
    void trackFrameDeadline();
    void accountReader();
    void end();

    // ---- the connection's queue ----
    void handle(std::string payload);
    void handled(size_t bytes);
    void send(const Message& message);
    void enqueue(const std::string& frames);

    size_t outboundSize() const;
    bool isBehindLocked() const;
    void runCaughtUpWaiters();

    std::shared_ptr<ListenerCore> core_;
    std::shared_ptr<dispatch::Queue> queue_;
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
    uint32_t interest_ = 0;  // what the watch was last given

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

// Listens on a named service's endpoint and hands each admitted connection to its delegate.
class Listener {
public:
    using Delegate = std::function<bool(const std::shared_ptr<ServerConnection>&)>;

    // Binds the endpoint at `socketPath`, taking its lock; an error text when it cannot.
    static std::variant<std::unique_ptr<Listener>, std::string> create(const std::string& socketPath,
                                                                       dispatch::Dispatcher& dispatcher);
    // Serves a socket that is already bound and listening, handed over by whoever started the
    // agent (the service manager). The socket file is theirs: no lock is taken, and the file is
    // neither replaced nor removed.
    static std::unique_ptr<Listener> adopt(UniqueFd listening, dispatch::Dispatcher& dispatcher);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void setDelegate(Delegate delegate);
    // The requirement a caller must meet, as the platform's listener is given it. On this system
    // the check itself is the peer's user id: only the agent's own user is admitted.
    void setConnectionCodeSigningRequirement(std::string requirement) { requirement_ = std::move(requirement); }
    const std::string& connectionRequirement() const { return requirement_; }
    // Empty for an adopted socket.
    const std::string& path() const { return endpoint_.path; }
    // Before `resume` only.
    void setLimits(const ConnectionLimits& limits);

    // Starts accepting connections.
    void resume();
    // Stops accepting, ends every connection and waits for them; for orderly shutdown in tests.
    void stop();

    // For tests and benchmarks: live connections, and the request bytes all of them hold.
    size_t connectionCount() const;
    size_t heldBytes() const;

    // What `create` and `adopt` hand the constructor: a listener always starts from a listening
    // socket.
    struct Bound {
        BoundEndpoint endpoint;
    };
    Listener(Bound bound, dispatch::Dispatcher& dispatcher);

private:

    BoundEndpoint endpoint_;
    std::string requirement_;
    std::shared_ptr<ListenerCore> core_;
    bool stopped_ = false;
};

}  // namespace companion::ipc
