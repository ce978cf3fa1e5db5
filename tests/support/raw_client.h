#pragma once
// A client speaking the wire by hand, for tests that must send what no well-behaved client
// would: bad frames, half frames, floods.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"

namespace companion::testing {

inline std::string greetingFrame() {
    return ipc::encodeFrame(ipc::Greeting{std::string(ipc::protocolName), ipc::protocolVersion});
}
inline std::string helloFrame(uint64_t sequence = 1) {
    return ipc::encodeFrame(ipc::Call{sequence, "helloWithReply:", ipc::Json::array()});
}
inline std::string packed(const ipc::Json& value) {
    std::string out;
    ipc::Json::to_msgpack(value, nlohmann::detail::output_adapter<char>(out));
    return out;
}
// `payload` behind a header declaring its true length, whatever the payload holds.
inline std::string frameOf(const std::string& payload) {
    std::string frame(ipc::frameHeaderSize, '\0');
    const auto n = static_cast<uint32_t>(payload.size());
    for (size_t i = 0; i < ipc::frameHeaderSize; ++i) frame[i] = static_cast<char>(n >> (24 - 8 * i));
    return frame + payload;
}

class RawClient {
public:
    static constexpr std::chrono::milliseconds patience{10'000};

    explicit RawClient(const std::string& path) {
        auto socket = ipc::connectEndpoint(path);
        if (auto* connected = std::get_if<UniqueFd>(&socket)) socket_ = std::move(*connected);
    }
    bool valid() const { return socket_.valid(); }
    int fd() const { return socket_.get(); }
    bool send(const std::string& bytes) { return ipc::writeAll(fd(), bytes); }

    // The next frame's message; nothing when the agent ended the connection or the wait ran out.
    std::optional<ipc::Message> receive(std::chrono::milliseconds limit = patience) {
        std::string payload;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (reader_.next(payload) != ipc::FrameReader::Status::frame) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(left) || !readChunk()) return std::nullopt;
        }
        return ipc::decodeMessage(payload).message;
    }
    // True when the agent closed the connection within `limit`; what came before is counted.
    bool closedWithin(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (readable(std::chrono::milliseconds(20)) && !readChunk()) return true;
        }
        return false;
    }
    size_t bytesRead() const { return bytesRead_; }
    // Greets and waits for the agent's greeting.
    bool greet() { return send(greetingFrame()) && receive().has_value(); }
    bool roundTrip(uint64_t sequence, const std::string& frame) {
        if (!send(frame)) return false;
        auto reply = receive();
        auto* values = reply ? std::get_if<ipc::ReplyMessage>(&*reply) : nullptr;
        return values && values->sequence == sequence;
    }

private:
    // False once the agent has closed the connection.
    bool readChunk() {
        char chunk[65536];
        const ssize_t n = ::read(fd(), chunk, sizeof chunk);
        if (n <= 0) return false;
        bytesRead_ += static_cast<size_t>(n);
        reader_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    bool readable(std::chrono::milliseconds limit) const {
        pollfd entry{fd(), POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
    }

    UniqueFd socket_;
    ipc::FrameReader reader_{ipc::maxReplyFrame};
    size_t bytesRead_ = 0;
};

}  // namespace companion::testing
