#include "platform/ipc/wire.h"

#include <algorithm>
#include <vector>

namespace companion::ipc {

namespace {

// What an idle reader keeps of its buffer after a frame: enough for the usual small frames.
constexpr size_t keptCapacity = 64 * 1024;

// One open container during the walk: how many values it still expects.
struct Open {
    uint64_t remaining;
};

class Walker {
public:
    explicit Walker(std::string_view bytes) : bytes_(bytes) {}

    bool walk(int maxDepth) {
        std::vector<Open> stack;
        uint64_t pendingTop = 1;  // the one top-level value
        while (true) {
            // close finished containers
            while (!stack.empty() && stack.back().remaining == 0) stack.pop_back();
            if (stack.empty() && pendingTop == 0) return position_ == bytes_.size();
            if (stack.empty()) {
                --pendingTop;
            } else {
                --stack.back().remaining;
            }
            uint64_t children = 0;
            if (!value(children)) return false;
            if (children == 0) continue;
            if (static_cast<int>(stack.size()) >= maxDepth) return false;
            // every child takes at least one byte
            if (children > bytes_.size() - position_) return false;
            stack.push_back({children});
        }
    }

private:
    bool take(size_t n) {
        if (n > bytes_.size() - position_) return false;
        position_ += n;
        return true;
    }
    bool readBig(size_t n, uint64_t& out) {
        if (n > bytes_.size() - position_) return false;
        out = 0;
        for (size_t i = 0; i < n; ++i) out = (out << 8) | static_cast<uint8_t>(bytes_[position_ + i]);
        position_ += n;
        return true;
    }
    bool skipSized(size_t lengthBytes) {
        uint64_t length = 0;
        return readBig(lengthBytes, length) && take(length);
    }
    bool container(size_t lengthBytes, uint64_t perEntry, uint64_t& children) {
        uint64_t length = 0;
        if (!readBig(lengthBytes, length)) return false;
        children = length * perEntry;
        return true;
    }

    // Reads one value's head (and a scalar's body); `children` is set for containers.
    bool value(uint64_t& children) {
        if (position_ >= bytes_.size()) return false;
        auto byte = static_cast<uint8_t>(bytes_[position_++]);
        if (byte <= 0x7f || byte >= 0xe0) return true;                  // fixint
        if (byte >= 0x80 && byte <= 0x8f) return children = (byte & 0x0f) * 2ull, true;  // fixmap
        if (byte >= 0x90 && byte <= 0x9f) return children = byte & 0x0f, true;          // fixarray
        if (byte >= 0xa0 && byte <= 0xbf) return take(byte & 0x1f);    // fixstr
        switch (byte) {
            case 0xc0: case 0xc2: case 0xc3: return true;               // nil, false, true
            case 0xc4: case 0xd9: return skipSized(1);                  // bin8, str8
            case 0xc5: case 0xda: return skipSized(2);
            case 0xc6: case 0xdb: return skipSized(4);
            case 0xca: return take(4);                                  // float32
            case 0xcb: return take(8);                                  // float64
            case 0xcc: case 0xd0: return take(1);                       // (u)int8
            case 0xcd: case 0xd1: return take(2);
            case 0xce: case 0xd2: return take(4);
            case 0xcf: case 0xd3: return take(8);
            case 0xdc: return container(2, 1, children);                // array16
            case 0xdd: return container(4, 1, children);
            case 0xde: return container(2, 2, children);                // map16
            case 0xdf: return container(4, 2, children);
            default: return false;                                      // ext types, 0xc1
        }
    }

    std::string_view bytes_;
    size_t position_ = 0;
};

std::optional<uint64_t> sequenceOf(const Json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0) return static_cast<uint64_t>(v.get<int64_t>());
    return std::nullopt;
}

std::optional<Message> fromValue(const Json& v) {
    if (!v.is_array() || v.empty() || !v[0].is_number_integer()) return std::nullopt;
    switch (static_cast<Kind>(v[0].get<int64_t>())) {
        case Kind::greeting:
            if (v.size() != 3 || !v[1].is_string() || !v[2].is_number_integer()) return std::nullopt;
            return Greeting{v[1].get<std::string>(), v[2].get<int64_t>()};
        case Kind::call: {
            if (v.size() != 4 || !v[2].is_string() || !v[3].is_array()) return std::nullopt;
            auto sequence = sequenceOf(v[1]);
            if (!sequence) return std::nullopt;
            return Call{*sequence, v[2].get<std::string>(), v[3]};
        }
        case Kind::reply: {
            if (v.size() != 3 || !v[2].is_array()) return std::nullopt;
            auto sequence = sequenceOf(v[1]);
            if (!sequence) return std::nullopt;
            return ReplyMessage{*sequence, v[2]};
        }
        case Kind::oneWay:
            if (v.size() != 3 || !v[1].is_string() || !v[2].is_array()) return std::nullopt;
            return OneWay{v[1].get<std::string>(), v[2]};
    }
    return std::nullopt;
}

// Fills in the length prefix of the frame that starts at `start` and runs to the end of `out`.
void writeFrameLength(std::string& out, size_t start) {
    const auto length = static_cast<uint32_t>(out.size() - start - frameHeaderSize);
    for (size_t i = 0; i < frameHeaderSize; ++i)
        out[start + i] = static_cast<char>((length >> (8 * (frameHeaderSize - 1 - i))) & 0xff);
}

Json toValue(const Message& message) {
    struct Visitor {
        Json operator()(const Greeting& g) const { return Json::array({Kind::greeting, g.name, g.version}); }
        Json operator()(const Call& c) const {
            return Json::array({Kind::call, c.sequence, c.selector, c.arguments});
        }
        Json operator()(const ReplyMessage& r) const { return Json::array({Kind::reply, r.sequence, r.values}); }
        Json operator()(const OneWay& o) const { return Json::array({Kind::oneWay, o.selector, o.arguments}); }
    };
    return std::visit(Visitor{}, message);
}

}  // namespace

bool isAcceptableMessagePack(std::string_view bytes, int maxDepth) {
    return Walker(bytes).walk(maxDepth);
}

Decoded decodeMessage(std::string_view payload) {
    if (!isAcceptableMessagePack(payload)) return {std::nullopt, FrameRefusal::notMessagePack};
    auto value = Json::from_msgpack(payload.begin(), payload.end(), true, false);
    if (value.is_discarded()) return {std::nullopt, FrameRefusal::notMessagePack};
    auto message = fromValue(value);
    if (!message) return {std::nullopt, FrameRefusal::notAMessage};
    return {std::move(message)};
}

FrameRefusal checkGreeting(std::string_view payload) {
    auto decoded = decodeMessage(payload);
    if (!decoded) return decoded.refusal;
    const auto* greeting = std::get_if<Greeting>(&*decoded);
    if (!greeting || greeting->name != protocolName || greeting->version != protocolVersion)
        return FrameRefusal::badGreeting;
    return FrameRefusal::none;
}

std::string encodeFrame(const Message& message) {
    std::string frame(frameHeaderSize, '\0');
    Json::to_msgpack(toValue(message), nlohmann::detail::output_adapter<char>(frame));
    writeFrameLength(frame, 0);
    return frame;
}

namespace {

void appendBigEndian(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void appendString(std::string& out, std::string_view text) {
    const size_t n = text.size();
    if (n < 32) {
        out.push_back(static_cast<char>(0xa0 | n));
    } else if (n <= 0xff) {
        out.push_back(static_cast<char>(0xd9));
        appendBigEndian(out, n, 1);
    } else if (n <= 0xffff) {
        out.push_back(static_cast<char>(0xda));
        appendBigEndian(out, n, 2);
    } else {
        out.push_back(static_cast<char>(0xdb));
        appendBigEndian(out, n, 4);
    }
    out.append(text);
}

void appendArrayHeader(std::string& out, size_t n) {
    if (n < 16) {
        out.push_back(static_cast<char>(0x90 | n));
    } else {
        out.push_back(static_cast<char>(0xdc));
        appendBigEndian(out, n, 2);
    }
}

// Reads one MessagePack text at `at`; false when there is none.
bool readString(std::string_view bytes, size_t& at, std::string_view& text) {
    if (at >= bytes.size()) return false;
    const auto head = static_cast<uint8_t>(bytes[at++]);
    size_t length = 0;
    size_t lengthBytes = 0;
    if ((head & 0xe0) == 0xa0) {
        length = head & 0x1f;
    } else if (head >= 0xd9 && head <= 0xdb) {
        lengthBytes = size_t{1} << (head - 0xd9);
        if (bytes.size() - at < lengthBytes) return false;
        for (size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | static_cast<uint8_t>(bytes[at + i]);
        at += lengthBytes;
    } else {
        return false;
    }
    if (bytes.size() - at < length) return false;
    text = bytes.substr(at, length);
    at += length;
    return true;
}

}  // namespace

void appendStringOneWayFrame(std::string& out, std::string_view selector,
                             std::initializer_list<std::string_view> arguments) {
    const size_t start = out.size();
    out.append(frameHeaderSize, '\0');
    appendArrayHeader(out, 3);
    out.push_back(static_cast<char>(Kind::oneWay));
    appendString(out, selector);
    appendArrayHeader(out, arguments.size());
    for (std::string_view argument : arguments) appendString(out, argument);
    writeFrameLength(out, start);
}

bool decodeStringOneWay(std::string_view payload, std::string& selector, std::vector<std::string>& arguments) {
    // [3, selector, [text, ...]] with a fixed array of at most 15 arguments
    if (payload.size() < 3 || static_cast<uint8_t>(payload[0]) != 0x93 ||
        static_cast<uint8_t>(payload[1]) != static_cast<uint8_t>(Kind::oneWay))
        return false;
    size_t at = 2;
    std::string_view name;
    if (!readString(payload, at, name) || at >= payload.size()) return false;
    const auto head = static_cast<uint8_t>(payload[at++]);
    if ((head & 0xf0) != 0x90) return false;
    const size_t count = head & 0x0f;
    std::string_view texts[15];
    for (size_t i = 0; i < count; ++i)
        if (!readString(payload, at, texts[i])) return false;
    if (at != payload.size()) return false;
    selector.assign(name);
    arguments.resize(count);
    for (size_t i = 0; i < count; ++i) arguments[i].assign(texts[i]);
    return true;
}

FrameReader::Status FrameReader::next(std::string& payload) {
    size_t available = buffer_.size() - consumed_;
    if (available < frameHeaderSize) return Status::needMore;
    uint32_t length = 0;
    for (size_t i = 0; i < frameHeaderSize; ++i)
        length = (length << 8) | static_cast<uint8_t>(buffer_[consumed_ + i]);
    if (length > maxFrame_) return Status::tooLarge;
    if (available - frameHeaderSize < length) {
        // compact so the buffer holds only the frame being collected
        if (consumed_ > 0) {
            buffer_.erase(0, consumed_);
            consumed_ = 0;
        }
        return Status::needMore;
    }
    if (consumed_ == 0 && available - frameHeaderSize == length) {
        // The buffer holds exactly this frame: it becomes the payload, so a large frame is
        // never held twice.
        std::copy(buffer_.begin() + frameHeaderSize, buffer_.end(), buffer_.begin());
        buffer_.resize(length);
        payload = std::move(buffer_);
        buffer_ = std::string();
        return Status::frame;
    }
    payload.assign(buffer_, consumed_ + frameHeaderSize, length);
    consumed_ += frameHeaderSize + length;
    if (consumed_ == buffer_.size()) {
        // A large frame's buffer is not kept for the small frames that follow.
        if (buffer_.capacity() > keptCapacity) std::string().swap(buffer_);
        buffer_.clear();
        consumed_ = 0;
    }
    return Status::frame;
}

}  // namespace companion::ipc
