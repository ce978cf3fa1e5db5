#include "platform/ipc/listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace companion::ipc {

namespace {

// A client that stops reading its replies for this long loses its connection rather than
// holding the agent's threads.
constexpr auto sendTimeout = std::chrono::seconds(30);
constexpr const char* connectionQueueLabel = "companion.connection";
// Messages of one connection that may wait for its queue before the reader stops reading: a
// client that sends faster than it is served then waits in its own socket, and the agent's
// memory does not grow with its impatience.
constexpr size_t maxPendingMessages = 1024;

void setSendTimeout(int socket) {
    timeval limit{};
    limit.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(sendTimeout).count();
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// The path a listening local socket is bound to; empty when it has none.
std::string boundPath(int socket) {
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sun_family != AF_UNIX)
        return {};
    return std::string(address.sun_path, ::strnlen(address.sun_path, sizeof address.sun_path));
}

}  // namespace

// ---- ServerConnection ----

ServerConnection::ServerConnection(UniqueFd socket, dispatch::Dispatcher& dispatcher)
    : socket_(std::move(socket)),
      queue_(dispatcher.makeSerialQueue(connectionQueueLabel)),
      dispatcher_(dispatcher) {
    setSendTimeout(socket_.get());
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::setExportedHandler(ExportedHandler handler) { exported_ = std::move(handler); }
void ServerConnection::setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
}

void ServerConnection::resume() {
    finished_.enter();
    send(Greeting{std::string(protocolName), protocolVersion});
    dispatcher_.global().async([self = shared_from_this()] { self->readLoop(); });
}

void ServerConnection::invalidate() {
    if (invalidated_.exchange(true)) return;
    // Wakes the reader, which then runs the invalidation steps once.
    ::shutdown(socket_.get(), SHUT_RDWR);
    { std::lock_guard lock(pendingMutex_); }
    pendingChanged_.notify_all();
}

bool ServerConnection::admitPending() {
    std::unique_lock lock(pendingMutex_);
    pendingChanged_.wait(lock, [&] { return pending_ < maxPendingMessages || invalidated_.load(); });
    if (invalidated_.load()) return false;
    ++pending_;
    return true;
}

void ServerConnection::pendingDone() {
    {
        std::lock_guard lock(pendingMutex_);
        --pending_;
    }
    pendingChanged_.notify_one();
}

void ServerConnection::waitUntilFinished() { finished_.wait(); }

void ServerConnection::readLoop() {
    readFrames(socket_.get(), maxRequestFrame, [this](const std::string& payload) { return deliver(payload); });
    invalidated_ = true;
    ::shutdown(socket_.get(), SHUT_RDWR);
    queue_->async([self = shared_from_this()] {
        if (self->invalidationHandler_) self->invalidationHandler_();
        // Drop what the handlers hold (the session among them): nothing will call them again.
        self->invalidationHandler_ = nullptr;
        self->exported_ = nullptr;
        self->finished_.leave();
    });
}

// Decodes one frame on the reader; false ends the connection.
bool ServerConnection::deliver(const std::string& payload) {
    auto message = decodeMessage(payload);
    if (!message) return false;
    if (!greeted_) {
        auto* greeting = std::get_if<Greeting>(&*message);
        if (!greeting || greeting->name != protocolName || greeting->version != protocolVersion) return false;
        greeted_ = true;
        return true;
    }
    if (!std::holds_alternative<Call>(*message) && !std::holds_alternative<OneWay>(*message)) return false;
    if (!admitPending()) return false;
    queue_->async([self = shared_from_this(), message = std::move(*message)] {
        self->handle(message);
        self->pendingDone();
    });
    return true;
}

// Runs on the connection's queue, in arrival order.
void ServerConnection::handle(const Message& message) {
    if (invalidated_.load() || !exported_) return;
    bool fits;
    if (const auto* call = std::get_if<Call>(&message)) {
        auto reply = [self = shared_from_this(), sequence = call->sequence](Json values) {
            self->send(ReplyMessage{sequence, std::move(values)});
        };
        fits = exported_(call->selector, false, call->arguments, std::move(reply));
    } else {
        const auto& oneWay = std::get<OneWay>(message);
        fits = exported_(oneWay.selector, true, oneWay.arguments, nullptr);
    }
    if (!fits) invalidate();
}

void ServerConnection::sendOneWay(std::string_view selector, Json arguments) {
    send(OneWay{std::string(selector), std::move(arguments)});
}

void ServerConnection::send(const Message& message) { sendFrames(encodeFrame(message)); }

void ServerConnection::sendFrames(const std::string& frames) {
    if (invalidated_.load()) return;
    bool sent;
    {
        std::lock_guard lock(writeMutex_);
        sent = writeAll(socket_.get(), frames);
    }
    if (!sent) invalidate();
}

// ---- Listener ----

std::variant<std::unique_ptr<Listener>, std::string> Listener::create(const std::string& socketPath,
                                                                      dispatch::Dispatcher& dispatcher) {
    auto bound = bindEndpoint(socketPath);
    if (auto* error = std::get_if<std::string>(&bound)) return *error;
    return std::make_unique<Listener>(Bound{std::move(std::get<BoundEndpoint>(bound))}, dispatcher);
}

std::unique_ptr<Listener> Listener::adopt(UniqueFd listening, dispatch::Dispatcher& dispatcher) {
    std::string path = boundPath(listening.get());
    return std::make_unique<Listener>(Bound{BoundEndpoint{std::move(listening), UniqueFd(), std::move(path)}},
                                      dispatcher);
}

Listener::Listener(Bound bound, dispatch::Dispatcher& dispatcher)
    : endpoint_(std::move(bound.endpoint)), dispatcher_(dispatcher), wakeup_(::eventfd(0, EFD_CLOEXEC)) {}

Listener::~Listener() { stop(); }

void Listener::resume() {
    if (acceptor_.joinable()) return;
    acceptor_ = std::thread([this] { acceptLoop(); });
}

void Listener::stop() {
    if (acceptor_.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakeup_.get(), &one, sizeof one);
        acceptor_.join();
    }
    std::vector<std::shared_ptr<ServerConnection>> live;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto& weak : connections_)
            if (auto connection = weak.lock()) live.push_back(std::move(connection));
        connections_.clear();
    }
    for (auto& connection : live) connection->invalidate();
    for (auto& connection : live) connection->waitUntilFinished();
}

void Listener::acceptLoop() {
    pollfd watched[2] = {{endpoint_.socket.get(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[1].revents != 0) return;
        if ((watched[0].revents & POLLIN) == 0) continue;
        UniqueFd socket(::accept4(endpoint_.socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!socket) continue;
        admit(std::move(socket));
    }
}

void Listener::admit(UniqueFd socket) {
    // Only the agent's own user gets in; anyone else is closed before a byte is read.
    auto uid = peerUid(socket.get());
    if (!uid || *uid != ::geteuid()) return;
    auto connection = std::make_shared<ServerConnection>(std::move(socket), dispatcher_);
    {
        std::lock_guard lock(connectionsMutex_);
        std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
        connections_.push_back(connection);
    }
    if (!delegate_ || !delegate_(connection)) connection->invalidate();
}

}  // namespace companion::ipc
