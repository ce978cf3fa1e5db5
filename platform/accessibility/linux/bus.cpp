#include "platform/accessibility/linux/bus.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <memory>

namespace companion::accessibility::linux_desktop {

namespace {

constexpr const char* launcherName = "org.a11y.Bus";
constexpr const char* launcherPath = "/org/a11y/bus";
constexpr const char* launcherInterface = "org.a11y.Bus";
constexpr const char* statusInterface = "org.a11y.Status";
constexpr const char* enabledProperty = "IsEnabled";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* registryName = "org.a11y.atspi.Registry";
constexpr const char* registryPath = "/org/a11y/atspi/registry";
constexpr const char* peerInterface = "org.freedesktop.DBus.Peer";
// Where libatspi looks first for the bus, before asking the session bus.
constexpr const char* busAddressVariable = "AT_SPI_BUS_ADDRESS";

struct ConnectionClose {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using Connection = std::unique_ptr<DBusConnection, ConnectionClose>;
using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

class ScopedError {
public:
    ScopedError() { dbus_error_init(&error_); }
    ~ScopedError() { dbus_error_free(&error_); }
    DBusError* get() { return &error_; }

private:
    DBusError error_;
};

// A connection of our own: closing it never touches one that libatspi shares, and losing the bus
// never ends the process.
Connection privateConnection(DBusConnection* opened) {
    if (opened) dbus_connection_set_exit_on_disconnect(opened, FALSE);
    return Connection(opened);
}

Connection sessionBus() {
    ScopedError error;
    return privateConnection(dbus_bus_get_private(DBUS_BUS_SESSION, error.get()));
}

Connection openBus(const std::string& address) {
    ScopedError error;
    Connection connection = privateConnection(dbus_connection_open_private(address.c_str(), error.get()));
    if (!connection || !dbus_bus_register(connection.get(), error.get())) return nullptr;
    return connection;
}

Message call(DBusConnection* connection, DBusMessage* request, int timeoutMs) {
    Message owned(request, dbus_message_unref);
    if (!request) return Message(nullptr, dbus_message_unref);
    ScopedError error;
    return Message(dbus_connection_send_with_reply_and_block(connection, request, timeoutMs, error.get()),
                   dbus_message_unref);
}

std::optional<std::string> busAddress(DBusConnection* session, int timeoutMs) {
    if (const char* fixed = std::getenv(busAddressVariable); fixed && *fixed) return std::string(fixed);
    auto reply = call(session, dbus_message_new_method_call(launcherName, launcherPath, launcherInterface, "GetAddress"),
                      timeoutMs);
    const char* address = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID))
        return std::nullopt;
    if (!address || !*address) return std::nullopt;
    return std::string(address);
}

std::optional<bool> switchIsOn(DBusConnection* session, int timeoutMs) {
    DBusMessage* request = dbus_message_new_method_call(launcherName, launcherPath, propertiesInterface, "Get");
    if (!request) return std::nullopt;
    dbus_message_append_args(request, DBUS_TYPE_STRING, &statusInterface, DBUS_TYPE_STRING, &enabledProperty,
                             DBUS_TYPE_INVALID);
    auto reply = call(session, request, timeoutMs);
    DBusMessageIter iter, variant;
    if (!reply || !dbus_message_iter_init(reply.get(), &iter) || dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT)
        return std::nullopt;
    dbus_message_iter_recurse(&iter, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_BOOLEAN) return std::nullopt;
    dbus_bool_t on = FALSE;
    dbus_message_iter_get_basic(&variant, &on);
    return on != FALSE;
}

bool registryAnswers(const std::string& address, int timeoutMs) {
    Connection bus = openBus(address);
    if (!bus) return false;
    return call(bus.get(), dbus_message_new_method_call(registryName, registryPath, peerInterface, "Ping"), timeoutMs) !=
           nullptr;
}

}  // namespace

BusState accessibilityBusState(int timeoutMs) {
    Connection session = sessionBus();
    if (!session) return BusState::absent;
    auto address = busAddress(session.get(), timeoutMs);
    if (!address) return BusState::absent;
    if (!switchIsOn(session.get(), timeoutMs).value_or(false)) return BusState::switchedOff;
    return registryAnswers(*address, timeoutMs) ? BusState::ready : BusState::unanswered;
}

bool switchOn(int timeoutMs) {
    Connection session = sessionBus();
    if (!session) return false;
    DBusMessage* request = dbus_message_new_method_call(launcherName, launcherPath, propertiesInterface, "Set");
    if (!request) return false;
    DBusMessageIter iter, variant;
    dbus_message_iter_init_append(request, &iter);
    dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &statusInterface);
    dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &enabledProperty);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_VARIANT, DBUS_TYPE_BOOLEAN_AS_STRING, &variant);
    const dbus_bool_t on = TRUE;
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &on);
    dbus_message_iter_close_container(&iter, &variant);
    return call(session.get(), request, timeoutMs) != nullptr;
}

}  // namespace companion::accessibility::linux_desktop
