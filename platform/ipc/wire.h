#pragma once
// The wire: length-prefixed frames, each one MessagePack value, each value one message.
// docs/protocol.md describes the same thing for people writing a client.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <initializer_list>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace companion::ipc {

using Json = nlohmann::json;

// The protocol's name and version, exchanged in the greeting.
inline constexpr std::string_view protocolName = "tavro-companion";
inline constexpr int64_t protocolVersion = 1;

// Size of the length prefix, and the largest frames each side accepts. Requests are small; a
// reply may carry a large listing.
inline constexpr size_t frameHeaderSize = 4;
inline constexpr uint32_t maxRequestFrame = 4u << 20;
inline constexpr uint32_t maxReplyFrame = 256u << 20;
// Messages are a few levels deep; anything deeper is not ours.
inline constexpr int maxNesting = 16;
// Bytes taken from a socket of the protocol per read, on either side.
inline constexpr size_t readChunk = 64 * 1024;

enum class Kind : int64_t { greeting = 0, call = 1, reply = 2, oneWay = 3 };

struct Greeting {
    std::string name;
    int64_t version = 0;
};
struct Call {
    uint64_t sequence = 0;
    std::string selector;
    Json arguments;  // an array
};
struct ReplyMessage {
    uint64_t sequence = 0;
    Json values;  // an array
};
struct OneWay {
    std::string selector;
    Json arguments;  // an array
};
using Message = std::variant<Greeting, Call, ReplyMessage, OneWay>;

// True when `bytes` is exactly one well-formed MessagePack value of the types the protocol
// uses, nested at most `maxDepth` levels, every declared length within the bytes at hand.
// Walks the value with an explicit stack, so no input can exhaust ours.
bool isAcceptableMessagePack(std::string_view bytes, int maxDepth = maxNesting);

// The rules by which the wire refuses a peer's frame; the connection ends with the first.
enum class FrameRefusal { none, notMessagePack, notAMessage, badGreeting };

// One frame's payload decoded: the message, or the rule it broke. Reads like an optional.
struct Decoded {
    std::optional<Message> message;
    FrameRefusal refusal = FrameRefusal::none;

    explicit operator bool() const { return message.has_value(); }
    Message& operator*() { return *message; }
    const Message& operator*() const { return *message; }
    const Message* operator->() const { return &*message; }
};

Decoded decodeMessage(std::string_view payload);

// A connection's first frame must be the peer's greeting, of this protocol and version.
FrameRefusal checkGreeting(std::string_view payload);

// A whole frame (length prefix included) for one message.
std::string encodeFrame(const Message& message);

// Appends the frame of a one-way message whose arguments are all texts, written directly: the
// path a stream of callbacks takes, with no value tree built per message.
void appendStringOneWayFrame(std::string& out, std::string_view selector,
                             std::initializer_list<std::string_view> arguments);

// Reads a one-way message whose arguments are all texts, without building a value tree.
// False when the payload has any other shape (the general decoder then takes it).
bool decodeStringOneWay(std::string_view payload, std::string& selector, std::vector<std::string>& arguments);

// Collects frames from a byte stream. Memory grows with the bytes that actually arrive, never
// with a declared length.
class FrameReader {
public:
    explicit FrameReader(uint32_t maxFrame) : maxFrame_(maxFrame) {}
    void append(const char* data, size_t size) { buffer_.append(data, size); }
    enum class Status { frame, needMore, tooLarge };
    // On `frame`, `payload` holds the next frame's bytes.
    Status next(std::string& payload);
    // Bytes received and not yet returned as a frame: non-zero while a frame is under way.
    size_t buffered() const { return buffer_.size() - consumed_; }

private:
    uint32_t maxFrame_;
    std::string buffer_;
    size_t consumed_ = 0;
};

}  // namespace companion::ipc
