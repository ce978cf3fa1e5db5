#include "desktop/bus.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace companion::desktop {

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
constexpr const char* sessionAddressVariable = "DBUS_SESSION_BUS_ADDRESS";
// The session bus's usual socket when the environment names none.
constexpr const char* runtimeFolderVariable = "XDG_RUNTIME_DIR";
constexpr const char* runtimeBusSocket = "bus";
constexpr const char* unixPathPrefix = "unix:path=";

const int callLimitMs = static_cast<int>(busCallLimit.count());

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

class ScopedError {
public:
    ScopedError() { dbus_error_init(&error_); }
    ~ScopedError() { dbus_error_free(&error_); }
    DBusError* get() { return &error_; }

private:
    DBusError error_;
};

Message call(DBusConnection* connection, DBusMessage* request) {
    Message owned(request, dbus_message_unref);
    if (!request || !connection) return Message(nullptr, dbus_message_unref);
    ScopedError error;
    return Message(dbus_connection_send_with_reply_and_block(connection, request, callLimitMs, error.get()),
                   dbus_message_unref);
}

std::optional<std::string> stringReply(const Message& reply) {
    const char* text = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        return std::nullopt;
    if (!text || !*text) return std::nullopt;
    return std::string(text);
}

// libdbus waits for the bus's authentication without any limit, even inside a call that has one:
// it is driven here, within the call limit.
bool authenticated(DBusConnection* connection) {
    const auto deadline = std::chrono::steady_clock::now() + busCallLimit;
    while (!dbus_connection_get_is_authenticated(connection)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !dbus_connection_read_write(connection, static_cast<int>(left.count()))) return false;
    }
    return true;
}

// A connection of our own to a bus: closing it never touches one that libatspi shares, losing the
// bus never ends the process, and neither the authentication nor the greeting waits longer than
// any other call (the library's own registration would wait 25 seconds, its authentication for
// ever).
BusConnection openBus(const std::string& address) {
    ScopedError error;
    BusConnection connection(dbus_connection_open_private(address.c_str(), error.get()));
    if (!connection) return nullptr;
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    if (!authenticated(connection.get())) return nullptr;
    auto name = stringReply(call(connection.get(),
                                 dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                              "Hello")));
    if (!name || !dbus_bus_set_unique_name(connection.get(), name->c_str())) return nullptr;
    return connection;
}

std::optional<std::string> sessionBusAddress() {
    if (const char* named = std::getenv(sessionAddressVariable); named && *named) return std::string(named);
    const char* runtime = std::getenv(runtimeFolderVariable);
    if (!runtime || !*runtime) return std::nullopt;
    const auto socket = std::filesystem::path(runtime) / runtimeBusSocket;
    std::error_code error;
    if (!std::filesystem::exists(socket, error)) return std::nullopt;
    return unixPathPrefix + socket.string();
}

// Drops a connection whose bus went away, so that the next check opens a new one.
DBusConnection* live(BusConnection& connection) {
    if (connection && !dbus_connection_get_is_connected(connection.get())) connection.reset();
    return connection.get();
}

std::optional<std::string> busAddress(DBusConnection* session) {
    return stringReply(call(session, dbus_message_new_method_call(launcherName, launcherPath, launcherInterface,
                                                                  "GetAddress")));
}

std::optional<bool> switchIsOn(DBusConnection* session) {
    DBusMessage* request = dbus_message_new_method_call(launcherName, launcherPath, propertiesInterface, "Get");
    if (!request) return std::nullopt;
    dbus_message_append_args(request, DBUS_TYPE_STRING, &statusInterface, DBUS_TYPE_STRING, &enabledProperty,
                             DBUS_TYPE_INVALID);
    auto reply = call(session, request);
    DBusMessageIter iter, variant;
    if (!reply || !dbus_message_iter_init(reply.get(), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT)
        return std::nullopt;
    dbus_message_iter_recurse(&iter, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_BOOLEAN) return std::nullopt;
    dbus_bool_t on = FALSE;
    dbus_message_iter_get_basic(&variant, &on);
    return on != FALSE;
}

}  // namespace

void ConnectionClose::operator()(DBusConnection* connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

BusCheck::BusCheck() {
    if (const char* fixed = std::getenv(accessibilityBusVariable); fixed && *fixed) fixedAddress_ = fixed;
}

DBusConnection* BusCheck::session() {
    if (live(session_)) return session_.get();
    if (auto address = sessionBusAddress()) session_ = openBus(*address);
    return session_.get();
}

DBusConnection* BusCheck::registry(const std::string& address) {
    if (live(registry_) && registryAddress_ == address) return registry_.get();
    registry_ = openBus(address);
    registryAddress_ = address;
    return registry_.get();
}

BusState BusCheck::state() {
    DBusConnection* bus = session();
    auto address = !bus ? std::nullopt : fixedAddress_ ? fixedAddress_ : busAddress(bus);
    if (!address) return BusState::absent;
    if (!switchIsOn(bus).value_or(false)) return BusState::switchedOff;
    const bool answers = call(registry(*address), dbus_message_new_method_call(registryName, registryPath,
                                                                                peerInterface, "Ping")) != nullptr;
    if (!answers) return BusState::unanswered;
    address_ = address;
    return BusState::ready;
}

bool BusCheck::switchOn() {
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
    return call(session(), request) != nullptr;
}

OwnedMessage callWithoutStart(DBusConnection* connection, DBusMessage* request, std::chrono::milliseconds limit) {
    OwnedMessage owned(request, dbus_message_unref);
    if (!request || !connection) return OwnedMessage(nullptr, dbus_message_unref);
    dbus_message_set_auto_start(request, FALSE);
    ScopedError error;
    return OwnedMessage(
        dbus_connection_send_with_reply_and_block(connection, request, static_cast<int>(limit.count()), error.get()),
        dbus_message_unref);
}

OwnedMessage busDaemonCall(DBusConnection* session, const char* method, const char* argument) {
    DBusMessage* request = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, method);
    if (request && argument) dbus_message_append_args(request, DBUS_TYPE_STRING, &argument, DBUS_TYPE_INVALID);
    return callWithoutStart(session, request, busCallLimit);
}

std::optional<int32_t> processOfName(DBusConnection* session, const std::string& name) {
    dbus_uint32_t pid = 0;
    OwnedMessage reply = busDaemonCall(session, "GetConnectionUnixProcessID", name.c_str());
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID))
        return std::nullopt;
    return static_cast<int32_t>(pid);
}

}  // namespace companion::desktop
