#pragma once
// The dialog-assistant subsystem's messages.

#include "core/session.h"

namespace companion::dialogs {

void installDialogsServices(Services& services);

}  // namespace companion::dialogs
