#include "client/companion_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ipc/endpoint.h"

namespace companion::client {

std::variant<std::unique_ptr<ClientConnection>, std::string> ClientConnection::connect(
    const std::string& socketPath, CallbackHandler onCallback, std::function<void()> onInvalidated) {
    auto socket = ipc::connectEndpoint(socketPath);
    if (auto* error = std::get_if<std::string>(&socket)) return *error;
    return std::make_unique<ClientConnection>(std::move(std::get<UniqueFd>(socket)), std::move(onCallback),
                                              std::move(onInvalidated));
}

ClientConnection::ClientConnection(UniqueFd socket, CallbackHandler onCallback, std::function<void()> onInvalidated)
    : socket_(std::move(socket)), onCallback_(std::move(onCallback)), onInvalidated_(std::move(onInvalidated)) {
    send(ipc::Greeting{std::string(ipc::protocolName), ipc::protocolVersion});
    reader_ = std::thread([this] { readLoop(); });
}

ClientConnection::~ClientConnection() {
    close();
    if (reader_.joinable()) reader_.join();
}

void ClientConnection::close() { ::shutdown(socket_.get(), SHUT_RDWR); }

bool ClientConnection::isValid() const {
    std::lock_guard lock(mutex_);
    return valid_;
}

bool ClientConnection::waitForGreeting() {
    std::unique_lock lock(mutex_);
    greeted_.wait(lock, [&] { return greetingArrived_ || !valid_; });
    return greetingArrived_ && valid_;
}

bool ClientConnection::call(const std::string& selector, Json arguments, ReplyHandler done) {
    uint64_t sequence;
    {
        std::lock_guard lock(mutex_);
        if (!valid_) return false;
        sequence = nextSequence_++;
        pending_.emplace(sequence, std::move(done));
    }
    if (send(ipc::Call{sequence, selector, std::move(arguments)})) return true;
    std::lock_guard lock(mutex_);
    // finish() may already have answered it with nothing
    return pending_.erase(sequence) == 0;
}

std::optional<Json> ClientConnection::callAndWait(const std::string& selector, Json arguments) {
    auto promise = std::make_shared<std::promise<std::optional<Json>>>();
    auto future = promise->get_future();
    if (!call(selector, std::move(arguments), [promise](std::optional<Json> values) {
            promise->set_value(std::move(values));
        }))
        return std::nullopt;
    return future.get();
}

bool ClientConnection::sendOneWay(const std::string& selector, Json arguments) {
    return send(ipc::OneWay{selector, std::move(arguments)});
}

bool ClientConnection::send(const ipc::Message& message) {
    std::string frame = ipc::encodeFrame(message);
    std::lock_guard lock(writeMutex_);
    return ipc::writeAll(socket_.get(), frame);
}

void ClientConnection::readLoop() {
    ipc::readFrames(socket_.get(), ipc::maxReplyFrame, [this](const std::string& payload) { return deliver(payload); });
    ::shutdown(socket_.get(), SHUT_RDWR);
    finish();
}

bool ClientConnection::deliver(const std::string& payload) {
    // Callbacks can come by the hundred thousand (a sync's log); they take the direct path.
    if (ipc::decodeStringOneWay(payload, callbackSelector_, callbackArguments_)) {
        if (!service::findClientMessage(callbackSelector_)) return false;
        if (onCallback_) onCallback_(callbackSelector_, Json(callbackArguments_));
        return true;
    }
    auto message = ipc::decodeMessage(payload);
    if (!message) return false;
    if (std::holds_alternative<ipc::Greeting>(*message)) {
        if (ipc::checkGreeting(payload) != ipc::FrameRefusal::none) return false;
        std::lock_guard lock(mutex_);
        greetingArrived_ = true;
        greeted_.notify_all();
        return true;
    }
    if (auto* reply = std::get_if<ipc::ReplyMessage>(&*message)) {
        ReplyHandler done;
        {
            std::lock_guard lock(mutex_);
            auto node = pending_.extract(reply->sequence);
            if (!node) return false;  // a reply nobody asked for
            done = std::move(node.mapped());
        }
        done(std::move(reply->values));
        return true;
    }
    if (auto* oneWay = std::get_if<ipc::OneWay>(&*message)) {
        if (!service::findClientMessage(oneWay->selector)) return false;
        if (onCallback_) onCallback_(oneWay->selector, oneWay->arguments);
        return true;
    }
    return false;
}

void ClientConnection::finish() {
    std::map<uint64_t, ReplyHandler> unanswered;
    {
        std::lock_guard lock(mutex_);
        valid_ = false;
        unanswered.swap(pending_);
        greeted_.notify_all();
    }
    for (auto& [sequence, done] : unanswered) done(std::nullopt);
    if (onInvalidated_) onInvalidated_();
}

ClientConnection::CallbackHandler typedCallbacks(service::CompanionClient client) {
    return [client = std::move(client)](const std::string& selector, const Json& arguments) {
        service::dispatchCallback(client, selector, arguments);
    };
}

}  // namespace companion::client
