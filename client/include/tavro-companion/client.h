#pragma once
// Tavro Files Companion client library: connects to the companion agent, calls any message of
// its protocol, and hears the agent's callbacks.
//
// Arguments and replies travel as JSON text: the arguments of a call are one JSON array with one
// value per argument, in the protocol's order; the reply values come back the same way. Byte
// blocks are base64 text. `tavro-companion-ctl describe` lists every message with its types.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavro_companion {

// The library's version, "MAJOR.MINOR.PATCH"; the agent it was built with has the same.
const char* libraryVersion();

// The agent's socket for the user running this process.
std::string defaultSocketPath();

// What the agent may send on its own. Each is called on the connection's reader thread, in
// arrival order; leave one empty to ignore it.
struct ClientHandlers {
    // One line of a running sync's log, without its line feed.
    std::function<void(const std::string& syncId, const std::string& line)> syncOutput;
    // A mount's rclone process ended.
    std::function<void(const std::string& mountId)> rcloneMountEnded;
    // The connection ended; the agent stops this connection's mounts and syncs.
    std::function<void()> invalidated;
};

// One connection to the agent. Calls may be made from any thread.
class Connection {
public:
    // Called with the reply values as a JSON array text, or nothing when the connection ended
    // before the reply.
    using ReplyHandler = std::function<void(std::optional<std::string> replyJson)>;

    // Connects and waits for the agent's greeting; nothing (and `error` says why) when there is
    // no agent or it did not greet.
    static std::unique_ptr<Connection> open(const std::string& socketPath, ClientHandlers handlers,
                                            std::string* error = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends a call without waiting; `done` is called once with its reply. False (and `error`)
    // when the selector is unknown, the arguments do not fit it, or the connection has ended.
    bool call(const std::string& selector, const std::string& argumentsJson, ReplyHandler done,
              std::string* error = nullptr);
    // Sends a call and blocks until its reply.
    std::optional<std::string> callAndWait(const std::string& selector, const std::string& argumentsJson,
                                           std::string* error = nullptr);
    // Sends a one-way message (those without a reply).
    bool send(const std::string& selector, const std::string& argumentsJson, std::string* error = nullptr);

    // The agent's version text, from its greeting message.
    std::optional<std::string> agentVersion();

    bool isValid() const;
    // Ends the connection; calls still waiting get no reply.
    void close();

private:
    struct State;
    explicit Connection(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tavro_companion
