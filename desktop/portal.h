#pragma once
// File dialogs that the desktop portal shows on a program's behalf (every sandboxed program, and
// GTK programs told to use it): the dialog belongs to the portal's back end, not to the program.
// The portal lists each program's pending requests under its unique bus name, and the back end
// that shows the dialog serves the same request path: that ties the dialog to the program through
// the session bus alone, whatever the display server.

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion::desktop {

// Each call to the portal and its back ends waits at most this: the messaging limit of a read.
inline constexpr std::chrono::milliseconds portalCallLimit{250};

// The object under which the portal lists the requests of the connection `uniqueName`
// (":1.5" gives ".../request/1_5").
std::string portalRequestFolder(std::string_view uniqueName);
// The names of the child nodes an introspection lists.
std::vector<std::string> childNodes(std::string_view introspection);

// The process of the portal back end showing a dialog that the process `pid` asked for; none when
// it waits for none. Nothing is started to ask, and each call waits at most `limit`.
std::optional<int32_t> portalDialogProcess(DBusConnection* session, int32_t pid, std::chrono::milliseconds limit);
// Whether the process is one of the portal's back ends.
bool isPortalBackEnd(int32_t pid);

}  // namespace companion::desktop
