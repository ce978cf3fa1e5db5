#pragma once
// The message tables of docs/protocol.md, rendered from the protocol table itself, so the
// document cannot drift from what the agent accepts and answers.

#include <string>

namespace companion::client {

// Where the generated part of docs/protocol.md begins and ends.
inline constexpr const char* generatedTablesBegin = "<!-- generated from service/protocol.h: begin -->";
inline constexpr const char* generatedTablesEnd = "<!-- generated from service/protocol.h: end -->";

// The tables of every call (arguments, reply values, the refused reply), the one-way requests
// and the callbacks, in Markdown, in declaration order.
std::string protocolTables();

// `document` with its generated part replaced by `protocolTables()`; unchanged when it has no
// markers.
std::string withProtocolTables(const std::string& document);

}  // namespace companion::client
