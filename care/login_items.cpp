#include "care/login_items.h"

#include <tuple>

#include "core/input_checks.h"
#include "core/scripts.h"

namespace companion::care {

using namespace service;

const std::string loginItemsScript =
    "tell application \"System Events\"\n"
    "    set out to \"\"\n"
    "    repeat with i in every login item\n"
    "        set out to out & (name of i) & tab & (path of i) & linefeed\n"
    "    end repeat\n"
    "    return out\n"
    "end tell";

namespace {

constexpr std::string_view deleteLoginItemOpening = "tell application \"System Events\" to delete login item \"";
constexpr char literalClosing = '"';

void loginItemsWithReply(CompanionSession& session, Args<msg::loginItemsWithReply>,
                         Reply<msg::loginItemsWithReply> reply) {
    session.submit(std::move(reply), [self = session.shared_from_this()] {
        // A failed script answers nothing at all, which the host tells apart from no items.
        return std::tuple{runAppleScript(self->platform(), loginItemsScript).output};
    });
}

void removeLoginItemWithName(CompanionSession& session, Args<msg::removeLoginItemWithName> args,
                             Reply<msg::removeLoginItemWithName> reply) {
    auto [name] = std::move(args);
    if (name.empty() || hasControlCharacters(name)) return reply.refuse();
    session.submit(std::move(reply), [name = std::move(name), self = session.shared_from_this()] {
        return std::tuple{!runAppleScript(self->platform(), removeLoginItemScript(name)).error};
    });
}

}  // namespace

std::string removeLoginItemScript(const std::string& name) {
    return std::string(deleteLoginItemOpening) + scriptLiteralEscaped(name) + literalClosing;
}

void installLoginItemServices(Services& services) {
    services.handlers.loginItemsWithReply = &loginItemsWithReply;
    services.handlers.removeLoginItemWithName = &removeLoginItemWithName;
}

}  // namespace companion::care
