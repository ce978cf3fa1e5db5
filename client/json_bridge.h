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

// "selector (A, B) -> (C)" for one message.
std::string describe(const service::MessageInfo& message);

}  // namespace companion::client
