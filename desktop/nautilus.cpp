#include "desktop/nautilus.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include "desktop/bus.h"

namespace companion::desktop {

namespace {

constexpr const char* fileManagerName = "org.freedesktop.FileManager1";
constexpr const char* fileManagerPath = "/org/freedesktop/FileManager1";
constexpr const char* fileManagerInterface = "org.freedesktop.FileManager1";
constexpr const char* windowsProperty = "OpenWindowsWithLocations";
constexpr const char* windowsPropertiesInterface = "org.freedesktop.DBus.Properties";

// The unique name of the file managers' common name's owner when that owner is the process `pid`.
std::optional<std::string> ownerOfProcess(DBusConnection* session, int32_t pid) {
    const char* owner = nullptr;
    OwnedMessage named = busDaemonCall(session, "GetNameOwner", fileManagerName);
    if (!named || !dbus_message_get_args(named.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
        return std::nullopt;
    const std::string unique(owner);
    if (processOfName(session, unique) != pid) return std::nullopt;
    return unique;
}

std::vector<std::string> stringArray(DBusMessageIter* array) {
    std::vector<std::string> strings;
    DBusMessageIter item;
    dbus_message_iter_recurse(array, &item);
    while (dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRING) {
        const char* text = nullptr;
        dbus_message_iter_get_basic(&item, &text);
        strings.emplace_back(text);
        dbus_message_iter_next(&item);
    }
    return strings;
}

// The property's value, a{sas}; none for any other shape.
std::optional<std::vector<PublishedWindow>> publishedWindows(const OwnedMessage& reply) {
    DBusMessageIter iter, variant, entries;
    if (!reply || !dbus_message_iter_init(reply.get(), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT)
        return std::nullopt;
    dbus_message_iter_recurse(&iter, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&variant) != DBUS_TYPE_DICT_ENTRY)
        return std::nullopt;
    std::vector<PublishedWindow> windows;
    dbus_message_iter_recurse(&variant, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_OBJECT_PATH &&
            dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING)
            return std::nullopt;
        const char* path = nullptr;
        dbus_message_iter_get_basic(&entry, &path);
        if (!dbus_message_iter_next(&entry) || dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_ARRAY)
            return std::nullopt;
        windows.emplace_back(path, stringArray(&entry));
    }
    return windows;
}

// The number that ends a window's object path; windows without one come after all numbered ones.
std::pair<bool, unsigned long> windowNumber(const std::string& path) {
    const size_t start = path.find_last_not_of("0123456789") + 1;
    unsigned long number = 0;
    const auto [end, error] = std::from_chars(path.data() + start, path.data() + path.size(), number);
    return {error != std::errc{} || start == path.size(), number};
}

}  // namespace

std::vector<std::string> locationsInWindowOrder(std::vector<PublishedWindow> windows) {
    std::sort(windows.begin(), windows.end(), [](const PublishedWindow& a, const PublishedWindow& b) {
        return std::pair(windowNumber(a.first), a.first) < std::pair(windowNumber(b.first), b.first);
    });
    std::vector<std::string> locations;
    for (const auto& [path, shown] : windows) locations.push_back(shown.empty() ? std::string{} : shown.front());
    return locations;
}

std::optional<std::vector<std::string>> nautilusWindowLocations(DBusConnection* session, int32_t pid,
                                                                std::chrono::milliseconds limit) {
    auto owner = ownerOfProcess(session, pid);
    if (!owner) return std::nullopt;
    DBusMessage* request = dbus_message_new_method_call(owner->c_str(), fileManagerPath, windowsPropertiesInterface, "Get");
    if (request) {
        dbus_message_append_args(request, DBUS_TYPE_STRING, &fileManagerInterface, DBUS_TYPE_STRING, &windowsProperty,
                                 DBUS_TYPE_INVALID);
    }
    auto windows = publishedWindows(callWithoutStart(session, request, limit));
    if (!windows) return std::nullopt;
    return locationsInWindowOrder(std::move(*windows));
}

}  // namespace companion::desktop
