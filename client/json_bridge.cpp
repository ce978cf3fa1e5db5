#include "client/json_bridge.h"

#include <array>

namespace companion::client {

using Json = nlohmann::json;

namespace {

constexpr std::string_view base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

template <class Tag>
std::variant<Json, std::string> viaTag(const Json& value) {
    // A JSON text is decoded as the wire would be, then encoded as the wire carries it.
    auto decoded = Tag::decode(value);
    if (!decoded) return std::string("expected ") + std::string(Tag::name);
    return Tag::encode(*decoded);
}

std::string joined(std::span<const std::string_view> names) {
    std::string out = "(";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
    }
    return out + ")";
}

// One JSON value per text, as an array.
std::variant<Json, std::string> jsonValues(const std::vector<std::string>& texts) {
    Json values = Json::array();
    for (size_t i = 0; i < texts.size(); ++i) {
        Json parsed = Json::parse(texts[i], nullptr, false);
        if (parsed.is_discarded()) return "argument " + std::to_string(i + 1) + " is not a JSON value: " + texts[i];
        values.push_back(std::move(parsed));
    }
    return values;
}

}  // namespace

std::string base64Encode(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = bytes[i] << 16;
        if (i + 1 < bytes.size()) chunk |= bytes[i + 1] << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += base64Alphabet[(chunk >> 18) & 63];
        out += base64Alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? base64Alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? base64Alphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::array<int, 256> values;
    values.fill(-1);
    for (size_t i = 0; i < base64Alphabet.size(); ++i) values[static_cast<uint8_t>(base64Alphabet[i])] = static_cast<int>(i);
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t chunk = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            bool last = i + 4 == text.size();
            if (c == '=' && last && j >= 2) {
                ++padding;
                chunk <<= 6;
                continue;
            }
            int v = values[static_cast<uint8_t>(c)];
            if (v < 0 || padding > 0) return std::nullopt;
            chunk = (chunk << 6) | static_cast<uint32_t>(v);
        }
        out.push_back(static_cast<uint8_t>(chunk >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(chunk >> 8));
        if (padding < 1) out.push_back(static_cast<uint8_t>(chunk));
    }
    return out;
}

std::variant<Json, std::string> wireFromJson(std::string_view typeName, const Json& value) {
    using namespace wire;
    if (typeName == String::name) return viaTag<String>(value);
    if (typeName == OptionalString::name) return viaTag<OptionalString>(value);
    if (typeName == Int64::name) return viaTag<Int64>(value);
    if (typeName == Int32::name) return viaTag<Int32>(value);
    if (typeName == Bool::name) return viaTag<Bool>(value);
    if (typeName == StringArray::name) return viaTag<StringArray>(value);
    if (typeName == DoubleArray::name) return viaTag<DoubleArray>(value);
    if (typeName == BoolArray::name) return viaTag<BoolArray>(value);
    if (typeName == Dictionary::name) return viaTag<Dictionary>(value);
    if (typeName == Data::name) {
        if (value.is_null()) return Json::binary({});
        if (!value.is_string()) return std::string("expected base64 text");
        auto bytes = base64Decode(value.get<std::string>());
        if (!bytes) return std::string("expected base64 text");
        return Json::binary(std::move(*bytes));
    }
    return "unknown wire type " + std::string(typeName);
}

Json jsonFromWire(const Json& value) {
    if (value.is_binary()) {
        const auto& bytes = value.get_binary();
        return base64Encode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    if (value.is_array()) {
        Json out = Json::array();
        for (const auto& element : value) out.push_back(jsonFromWire(element));
        return out;
    }
    return value;
}

std::variant<Json, std::string> argumentsFromJson(const service::MessageInfo& message, const Json& values) {
    if (!values.is_array() || values.size() != message.arguments.size())
        return std::string(message.selector) + " takes " + std::to_string(message.arguments.size()) +
               " argument(s) " + joined(message.arguments) + ", not " +
               (values.is_array() ? std::to_string(values.size()) : std::string("a ") + values.type_name());
    Json arguments = Json::array();
    for (size_t i = 0; i < values.size(); ++i) {
        auto converted = wireFromJson(message.arguments[i], values[i]);
        if (auto* error = std::get_if<std::string>(&converted))
            return "argument " + std::to_string(i + 1) + ": " + *error;
        arguments.push_back(std::move(std::get<Json>(converted)));
    }
    return arguments;
}

std::variant<Json, std::string> argumentsFromJsonTexts(const service::MessageInfo& message,
                                                       const std::vector<std::string>& texts) {
    auto values = jsonValues(texts);
    if (auto* error = std::get_if<std::string>(&values)) return *error;
    return argumentsFromJson(message, std::get<Json>(values));
}

std::variant<CallLine, std::string> parseCallLine(std::string_view line) {
    if (line.starts_with('[')) {
        Json array = Json::parse(line, nullptr, false);
        if (!array.is_array() || array.empty() || !array[0].is_string())
            return std::string("expected a JSON array that begins with the selector");
        CallLine call{array[0].get<std::string>(), Json::array()};
        for (size_t i = 1; i < array.size(); ++i) call.arguments.push_back(std::move(array[i]));
        return call;
    }
    auto words = callWords(line);
    if (words.empty()) return std::string("expected a selector");
    auto values = jsonValues({words.begin() + 1, words.end()});
    if (auto* error = std::get_if<std::string>(&values)) return *error;
    return CallLine{words.front(), std::get<Json>(std::move(values))};
}

std::vector<std::string> callWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : line) {
        bool blank = c == ' ' || c == '\t';
        if (blank && depth == 0 && !inString) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
            continue;
        }
        word += c;
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

std::string describe(const service::MessageInfo& message) {
    std::string text = std::string(message.selector) + " " + joined(message.arguments);
    if (!message.oneWay) text += " -> " + joined(message.replies);
    return text;
}

}  // namespace companion::client
