#pragma once
// Nautilus's windows, as it publishes them on the session bus: for each window (an object path
// numbered in the order the windows were opened) the locations its tabs show. Its windows' own
// location entries are hidden and keep text that was typed but never confirmed, so the bus is
// the one source that says what each window shows.

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace companion::desktop {

inline constexpr const char* nautilusProgram = "nautilus";

// One window's entry of the published table: its object path and its locations.
using PublishedWindow = std::pair<std::string, std::vector<std::string>>;

// One location a window: the first of its list ("" for a window that lists none), in the order the
// windows were opened, whatever order the table came in.
std::vector<std::string> locationsInWindowOrder(std::vector<PublishedWindow> windows);

// The locations of the windows of the Nautilus process `pid`, in window order; none when that
// process does not publish them on `session`. The file managers' common bus name is asked only of
// its present owner: every file manager installs a service for that name, and a call that started
// one would open a window the user never asked for. The program's own answer waits at most `limit`.
std::optional<std::vector<std::string>> nautilusWindowLocations(DBusConnection* session, int32_t pid,
                                                                std::chrono::milliseconds limit);

}  // namespace companion::desktop
