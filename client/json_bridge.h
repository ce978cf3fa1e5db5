#pragma once
// Between JSON, as people and scripts write it, and the wire values of the protocol table.
// Byte blocks travel in JSON as base64 text.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "service/messages.h"

namespace companion::client {

std::string base64Encode(const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

// The wire value for one argument of the named wire type, or why `value` cannot be one.
std::variant<nlohmann::json, std::string> wireFromJson(std::string_view typeName, const nlohmann::json& value);

// The JSON form of a wire value (byte blocks become base64 text).
nlohmann::json jsonFromWire(const nlohmann::json& value);

// Builds the arguments of `message` from JSON texts, one per argument; an error text names the
// first that does not fit.
std::variant<nlohmann::json, std::string> argumentsFromJsonTexts(const service::MessageInfo& message,
                                                                 const std::vector<std::string>& texts);

// The same from JSON values, one per argument in a JSON array.
std::variant<nlohmann::json, std::string> argumentsFromJson(const service::MessageInfo& message,
                                                            const nlohmann::json& values);

// One call written as a line: its selector and its arguments as JSON values, not yet checked
// against the message.
struct CallLine {
    std::string selector;
    nlohmann::json arguments;  // an array
};
// `SELECTOR ARG...` (each ARG one JSON value) or one JSON array that begins with the selector.
std::variant<CallLine, std::string> parseCallLine(std::string_view line);
// The words of a line, split at blanks outside JSON strings, arrays and objects.
std::vector<std::string> callWords(std::string_view line);

// "selector (A, B) -> (C)" for one message.
std::string describe(const service::MessageInfo& message);

}  // namespace companion::client
