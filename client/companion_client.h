#pragma once
// The client library: connect to the agent, call any message, send one-way messages, receive
// the callbacks, notice the end of the connection.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "platform/ipc/wire.h"
#include "platform/unique_fd.h"
#include "service/messages.h"

namespace companion::client {

using Json = nlohmann::json;

class ClientConnection {
public:
    // Called with the reply values, or nothing when the connection ended first.
    using ReplyHandler = std::function<void(std::optional<Json> values)>;
    // A callback from the agent: its selector and arguments.
    using CallbackHandler = std::function<void(const std::string& selector, const Json& arguments)>;

    // Connects and greets. Callbacks and the end of the connection are reported on the
    // connection's reader thread, in arrival order.
    static std::variant<std::unique_ptr<ClientConnection>, std::string> connect(
        const std::string& socketPath, CallbackHandler onCallback = nullptr,
        std::function<void()> onInvalidated = nullptr);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Sends a call; false when the connection has ended (`done` is then not called).
    bool call(const std::string& selector, Json arguments, ReplyHandler done);
    // Blocks until the reply (or the end of the connection).
    std::optional<Json> callAndWait(const std::string& selector, Json arguments);
    bool sendOneWay(const std::string& selector, Json arguments);

    // The typed forms, checked against the protocol table.
    template <class M>
    std::optional<typename M::Replies::Tuple> call(service::Args<M> arguments) {
        auto values = callAndWait(std::string(M::selector), M::Args::encode(arguments));
        if (!values) return std::nullopt;
        return M::Replies::decode(*values);
    }
    template <class M>
    bool send(service::Args<M> arguments) {
        return sendOneWay(std::string(M::selector), M::Args::encode(arguments));
    }

    bool isValid() const;
    // Waits until the agent's greeting arrived; false when the connection ended first.
    bool waitForGreeting();
    // Ends the connection; pending calls get no reply.
    void close();

    // Greets the agent over a socket that is already connected; `connect` is the usual way in.
    ClientConnection(UniqueFd socket, CallbackHandler onCallback, std::function<void()> onInvalidated);

private:
    void readLoop();
    bool deliver(const std::string& payload);
    bool send(const ipc::Message& message);
    void finish();

    UniqueFd socket_;
    CallbackHandler onCallback_;
    std::function<void()> onInvalidated_;
    mutable std::mutex mutex_;
    std::condition_variable greeted_;
    std::map<uint64_t, ReplyHandler> pending_;
    uint64_t nextSequence_ = 1;
    bool valid_ = true;
    bool greetingArrived_ = false;
    std::mutex writeMutex_;
    std::thread reader_;
    // reader thread only: reused for every callback
    std::string callbackSelector_;
    std::vector<std::string> callbackArguments_;
};

// Decodes the agent's callbacks into the typed client interface.
ClientConnection::CallbackHandler typedCallbacks(service::CompanionClient client);

}  // namespace companion::client
