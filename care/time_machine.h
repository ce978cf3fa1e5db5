#pragma once
// The list of Time Machine backups, as the backup tool prints it.

#include "core/session.h"

namespace companion::care {

void installTimeMachineServices(Services& services);

}  // namespace companion::care
