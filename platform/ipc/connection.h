#pragma once
// The agent's side of one client connection, as the session sees it.

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace companion::ipc {

class Connection {
public:
    virtual ~Connection() = default;
    // Sends a one-way message (a callback) to the peer. Silently dropped once the connection
    // has ended: a callback to a client that went away is lost, never an error.
    virtual void sendOneWay(std::string_view selector, nlohmann::json arguments) = 0;
    // Sends whole frames already encoded, in order and in one write, so that a stream of
    // callbacks does not cost a write each. Dropped like `sendOneWay` once the connection ended.
    virtual void sendFrames(const std::string& frames) = 0;

    // A stream produced faster than the client reads (a sync's log) is slowed to the client's
    // pace instead of piling up in the agent: its producer stops while the client is behind by
    // more than its budget, and goes on when told it has caught up.
    virtual bool isBehind() const = 0;
    // Runs `ready` once the client has caught up or the connection has ended: at once on the
    // calling thread when it is not behind, otherwise later on the event loop.
    virtual void whenCaughtUp(std::function<void()> ready) = 0;
};

}  // namespace companion::ipc
