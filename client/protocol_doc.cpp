#include "client/protocol_doc.h"

#include "client/json_bridge.h"
#include "service/messages.h"

namespace companion::client {

namespace {

using namespace service;

std::string typeList(std::span<const std::string_view> types) {
    std::string text;
    for (auto type : types) {
        if (!text.empty()) text += ", ";
        text += type;
    }
    return text;
}

template <class M>
void appendCall(std::string& out) {
    out += "| `" + std::string(M::selector) + "` | " + typeList(M::Args::names) + " | ";
    out += M::Replies::size == 0 ? std::string("(no values)") : typeList(M::Replies::names);
    out += " | `" + jsonFromWire(M::Replies::encode(M::refused())).dump() + "` |\n";
}

template <class M>
void appendOneWay(std::string& out) {
    out += "| `" + std::string(M::selector) + "` | " + typeList(M::Args::names) + " |\n";
}

}  // namespace

std::string protocolTables() {
    std::string out =
        "Calls, in declaration order. The last column is the reply a refused request gets (arguments\n"
        "that fail the message's checks), written as JSON: `null` is nil, byte blocks are base64.\n\n"
        "| selector | arguments | reply | refused reply |\n|---|---|---|---|\n";
#define COMPANION_DOC_CALL(method, ...) appendCall<msg::method>(out);
#define COMPANION_DOC_SKIP(...)
    COMPANION_SERVICE_MESSAGES(COMPANION_DOC_CALL, COMPANION_DOC_SKIP)
    out += "\nOne-way requests, client to agent (kind 3, never answered):\n\n| selector | arguments |\n|---|---|\n";
#define COMPANION_DOC_ONEWAY(method, ...) appendOneWay<msg::method>(out);
    COMPANION_SERVICE_MESSAGES(COMPANION_DOC_SKIP, COMPANION_DOC_ONEWAY)
    out += "\nCallbacks, agent to client (kind 3):\n\n| selector | arguments |\n|---|---|\n";
    COMPANION_CLIENT_MESSAGES(COMPANION_DOC_ONEWAY)
#undef COMPANION_DOC_CALL
#undef COMPANION_DOC_ONEWAY
#undef COMPANION_DOC_SKIP
    return out;
}

std::string withProtocolTables(const std::string& document) {
    const std::string begin = generatedTablesBegin;
    const auto from = document.find(begin);
    const auto to = document.find(generatedTablesEnd);
    if (from == std::string::npos || to == std::string::npos || to < from) return document;
    return document.substr(0, from + begin.size()) + "\n" + protocolTables() + document.substr(to);
}

}  // namespace companion::client
