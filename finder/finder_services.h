#pragma once
// The Finder subsystem's messages.

#include "core/session.h"

namespace companion::finder {

void installFinderServices(Services& services);

}  // namespace companion::finder
