#pragma once
// The session's accessibility bus and the trust: asked over plain D-Bus before libatspi is ever
// started, because libatspi ends the whole process when it cannot reach its bus.
//
// The connections are kept from one check to the next (a check is three small calls, made at the
// start of every request and by the setup window's refresh), and every call, the greeting of a
// new connection included, waits at most the check's limit: a bus that hangs costs a bounded
// wait, never the 25 seconds of the library's default.

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace companion::desktop {

enum class BusState {
    absent,       // no session bus, or no accessibility bus on it
    switchedOff,  // the bus works, but the assistive-technology switch is off
    unanswered,   // the switch is on, but the registry of applications does not answer
    ready,
};

// Where libatspi looks first for its bus, before asking the session bus.
inline constexpr const char* accessibilityBusVariable = "AT_SPI_BUS_ADDRESS";
// How long each call of a check waits for its answer.
inline constexpr std::chrono::milliseconds busCallLimit{2000};

struct ConnectionClose {
    void operator()(DBusConnection* connection) const;
};
using BusConnection = std::unique_ptr<DBusConnection, ConnectionClose>;

using OwnedMessage = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

// Sends `request` (taking it) and waits at most `limit` for the reply; null without one. Never
// starts a program for the name it is sent to: only a present owner answers.
OwnedMessage callWithoutStart(DBusConnection* connection, DBusMessage* request, std::chrono::milliseconds limit);
// A method of the bus itself, with one string argument or, when `argument` is null, none.
OwnedMessage busDaemonCall(DBusConnection* session, const char* method, const char* argument);
// The process that holds a name on the bus.
std::optional<int32_t> processOfName(DBusConnection* session, const std::string& name);

// Not thread-safe: its owner serialises the calls.
class BusCheck {
public:
    BusCheck();
    BusState state();
    // Turns the switch on (a setting of the user's desktop that lasts); false when it cannot be.
    bool switchOn();
    // The accessibility bus that the last check found; none before one found it.
    const std::optional<std::string>& accessibilityBusAddress() const { return address_; }
    // The session bus, reopened when it went away; null when there is none.
    DBusConnection* session();

private:
    DBusConnection* registry(const std::string& address);

    // The bus fixed by the environment at start (later changes are the plugin's own).
    std::optional<std::string> fixedAddress_;
    BusConnection session_;
    BusConnection registry_;
    std::string registryAddress_;
    std::optional<std::string> address_;
};

}  // namespace companion::desktop
