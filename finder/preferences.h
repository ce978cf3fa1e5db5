#pragma once
// The desktop-services and Finder settings the host cannot write from its sandbox.

#include <optional>

#include "core/session.h"
#include "platform/preferences/preferences.h"

namespace companion::finder {

// A stored boolean, or a number equal to 0 or 1; anything else, and a missing key, is false.
bool preferenceFlag(const std::optional<preferences::PreferenceValue>& value);

void installPreferenceServices(Services& services);

}  // namespace companion::finder
