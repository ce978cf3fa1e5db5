#pragma once
// The session's accessibility bus, asked over D-Bus before libatspi is ever called: libatspi ends
// the whole process when it cannot reach that bus.

#include <optional>
#include <string>

namespace companion::accessibility::linux_desktop {

enum class BusState {
    absent,       // no session bus, or no accessibility bus on it
    switchedOff,  // the bus works, but the assistive-technology switch is off
    unanswered,   // the switch is on, but the registry of applications does not answer
    ready,
};

// Asks the session bus; each call waits at most `timeoutMs`.
BusState accessibilityBusState(int timeoutMs);

// Turns the switch on (a setting of the user's desktop that lasts); false when it cannot be.
bool switchOn(int timeoutMs);

}  // namespace companion::accessibility::linux_desktop
