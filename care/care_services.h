#pragma once
// The system-care subsystem's messages.

#include "core/session.h"

namespace companion::care {

void installCareServices(Services& services);

}  // namespace companion::care
