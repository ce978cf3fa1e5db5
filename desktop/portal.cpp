#include "desktop/portal.h"

#include <algorithm>

#include "desktop/bus.h"
#include "desktop/file_managers.h"

namespace companion::desktop {

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr std::string_view requestRoot = "/org/freedesktop/portal/desktop/request/";
constexpr std::string_view backEndPrefix = "org.freedesktop.impl.portal.desktop.";
// The back ends' executables: xdg-desktop-portal-gtk, -gnome, -kde and so on.
constexpr std::string_view backEndProgramPrefix = "xdg-desktop-portal-";
constexpr const char* introspectableInterface = "org.freedesktop.DBus.Introspectable";
constexpr std::string_view nodeOpening = "<node name=\"";

std::vector<std::string> stringsOf(const OwnedMessage& reply) {
    std::vector<std::string> strings;
    DBusMessageIter iter, item;
    if (!reply || !dbus_message_iter_init(reply.get(), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY)
        return strings;
    dbus_message_iter_recurse(&iter, &item);
    for (; dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRING; dbus_message_iter_next(&item)) {
        const char* text = nullptr;
        dbus_message_iter_get_basic(&item, &text);
        strings.emplace_back(text);
    }
    return strings;
}

// The pending requests (child nodes) that `name` serves under `folder`.
std::vector<std::string> requestsAt(DBusConnection* session, const std::string& name, const std::string& folder,
                                    std::chrono::milliseconds limit) {
    DBusMessage* request =
        dbus_message_new_method_call(name.c_str(), folder.c_str(), introspectableInterface, "Introspect");
    OwnedMessage reply = callWithoutStart(session, request, limit);
    const char* xml = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &xml, DBUS_TYPE_INVALID)) return {};
    return childNodes(xml);
}

// Every pending request of the process, by its folder and its node names.
std::vector<std::pair<std::string, std::vector<std::string>>> pendingRequests(DBusConnection* session, int32_t pid,
                                                                              const std::vector<std::string>& names,
                                                                              std::chrono::milliseconds limit) {
    std::vector<std::pair<std::string, std::vector<std::string>>> pending;
    for (const auto& name : names) {
        if (!name.starts_with(':') || processOfName(session, name) != pid) continue;
        const std::string folder = portalRequestFolder(name);
        if (auto requests = requestsAt(session, portalName, folder, limit); !requests.empty())
            pending.emplace_back(folder, std::move(requests));
    }
    return pending;
}

bool servesAny(const std::vector<std::string>& served, const std::vector<std::string>& wanted) {
    return std::any_of(wanted.begin(), wanted.end(), [&served](const std::string& request) {
        return std::find(served.begin(), served.end(), request) != served.end();
    });
}

}  // namespace

std::string portalRequestFolder(std::string_view uniqueName) {
    std::string folder(requestRoot);
    for (char c : uniqueName.substr(uniqueName.starts_with(':') ? 1 : 0)) folder.push_back(c == '.' ? '_' : c);
    return folder;
}

std::vector<std::string> childNodes(std::string_view introspection) {
    std::vector<std::string> nodes;
    for (size_t at = introspection.find(nodeOpening); at != std::string_view::npos;
         at = introspection.find(nodeOpening, at)) {
        at += nodeOpening.size();
        const size_t end = introspection.find('"', at);
        if (end == std::string_view::npos) break;
        // The introspected object itself may carry its own path as a name.
        if (end > at && introspection[at] != '/') nodes.emplace_back(introspection.substr(at, end - at));
        at = end;
    }
    return nodes;
}

std::optional<int32_t> portalDialogProcess(DBusConnection* session, int32_t pid, std::chrono::milliseconds limit) {
    if (!session) return std::nullopt;
    const std::vector<std::string> names = stringsOf(busDaemonCall(session, "ListNames", nullptr));
    if (std::find(names.begin(), names.end(), portalName) == names.end()) return std::nullopt;
    const auto pending = pendingRequests(session, pid, names, limit);
    if (pending.empty()) return std::nullopt;
    for (const auto& name : names) {
        if (!name.starts_with(backEndPrefix)) continue;
        for (const auto& [folder, requests] : pending) {
            if (servesAny(requestsAt(session, name, folder, limit), requests)) return processOfName(session, name);
        }
    }
    return std::nullopt;
}

bool isPortalBackEnd(int32_t pid) { return executableName(pid).starts_with(backEndProgramPrefix); }

}  // namespace companion::desktop
