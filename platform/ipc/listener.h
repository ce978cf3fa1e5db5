#pragma once
// The agent's end of the wire: a listener for a named service and its connections.
//
// Each connection has a private serial queue on which its messages are handled in arrival
// order; a reader only decodes frames and hands them over. Bad input of any kind ends that one
// connection and nothing else.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <variant>

#include "platform/dispatch/dispatch.h"
#include "platform/ipc/connection.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"

namespace companion::ipc {

// Serves the messages of one connection: false when a message does not fit the protocol, which
// ends the connection. `reply` is empty for one-way messages.
using ExportedHandler =
    std::function<bool(const std::string& selector, bool oneWay, const Json& arguments, std::function<void(Json)> reply)>;

class ServerConnection final : public Connection, public std::enable_shared_from_this<ServerConnection> {
public:
    ServerConnection(UniqueFd socket, dispatch::Dispatcher& dispatcher);
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

    dispatch::Queue& queue() { return *queue_; }
    // Ends when the reader has stopped and the invalidation handler has run.
    void waitUntilFinished();

private:
    void readLoop();
    bool deliver(const std::string& payload);
    // Holds the reader while too many messages wait for the connection's queue.
    bool admitPending();
    void pendingDone();
    void handle(const Message& message);
    void send(const Message& message);

    UniqueFd socket_;
    std::shared_ptr<dispatch::Queue> queue_;
    dispatch::Dispatcher& dispatcher_;
    ExportedHandler exported_;
    std::function<void()> invalidationHandler_;
    std::mutex writeMutex_;
    std::atomic<bool> invalidated_{false};
    bool greeted_ = false;  // reader thread only
    std::mutex pendingMutex_;
    std::condition_variable pendingChanged_;
    size_t pending_ = 0;  // messages handed to the queue and not yet handled
    dispatch::Group finished_;
};

// Listens on a named service's endpoint and hands each admitted connection to its delegate.
class Listener {
public:
    using Delegate = std::function<bool(const std::shared_ptr<ServerConnection>&)>;

    // Binds the endpoint at `socketPath`; an error text when it cannot.
    static std::variant<std::unique_ptr<Listener>, std::string> create(const std::string& socketPath,
                                                                       dispatch::Dispatcher& dispatcher);
    // Serves a socket that is already listening (handed over by the service manager), with the
    // same admission. No lock is taken and the socket file is never removed: the endpoint
    // belongs to the service manager, which keeps it when this process ends.
    static std::unique_ptr<Listener> adopt(UniqueFd listening, dispatch::Dispatcher& dispatcher);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void setDelegate(Delegate delegate) { delegate_ = std::move(delegate); }
    // The requirement a caller must meet, as the platform's listener is given it. On this system
    // the check itself is the peer's user id: only the agent's own user is admitted.
    void setConnectionCodeSigningRequirement(std::string requirement) { requirement_ = std::move(requirement); }
    const std::string& connectionRequirement() const { return requirement_; }
    const std::string& path() const { return endpoint_.path; }

    // Starts accepting connections.
    void resume();
    // Stops accepting, ends every connection and waits for them; for orderly shutdown in tests.
    void stop();

    // What `create` hands the constructor: a listener always starts from a bound endpoint.
    struct Bound {
        BoundEndpoint endpoint;
    };
    Listener(Bound bound, dispatch::Dispatcher& dispatcher);

private:
    void acceptLoop();
    void admit(UniqueFd socket);

    BoundEndpoint endpoint_;
    dispatch::Dispatcher& dispatcher_;
    Delegate delegate_;
    std::string requirement_;
    UniqueFd wakeup_;  // an eventfd that ends the accept loop
    std::thread acceptor_;
    std::mutex connectionsMutex_;
    std::vector<std::weak_ptr<ServerConnection>> connections_;
};

}  // namespace companion::ipc
