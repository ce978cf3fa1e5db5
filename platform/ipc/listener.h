#pragma once
// The agent's end of the wire: a listener for a named service, which admits connections on the
// event loop and gives each the host it needs (the loop, the limits, the shared byte budget).

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/event_loop.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/peer.h"
#include "platform/ipc/server_connection.h"

namespace companion::ipc {

class ListenerCore;

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
    // the check itself is what the kernel proves of the peer (`identifyPeer`): the agent's own
    // user, and inside a sandbox only the identities of `setAdmission`.
    void setConnectionCodeSigningRequirement(std::string requirement) { requirement_ = std::move(requirement); }
    const std::string& connectionRequirement() const { return requirement_; }
    // Empty for an adopted socket.
    const std::string& path() const { return endpoint_.path; }
    // Before `resume` only. Without it, every sandboxed peer is refused.
    void setAdmission(Admission admission);
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
