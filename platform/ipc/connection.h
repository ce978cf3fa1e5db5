#pragma once
// The agent's side of one client connection, as the session sees it.

#include <string_view>

#include <nlohmann/json.hpp>

namespace companion::ipc {

class Connection {
public:
    virtual ~Connection() = default;
    // Sends a one-way message (a callback) to the peer. Silently dropped once the connection
    // has ended: a callback to a client that went away is lost, never an error.
    virtual void sendOneWay(std::string_view selector, nlohmann::json arguments) = 0;
};

}  // namespace companion::ipc
