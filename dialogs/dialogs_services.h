#pragma once
// The dialog-assistant subsystem's messages.

#include "core/session.h"

namespace companion::dialogs {

void installDialogsServices(Services& services);

// Each part of the subsystem fills the slots of its own messages.
void installDetectionServices(Services& services);     // detectDialogWithPid
void installNavigationServices(Services& services);    // navigateDialogWithPid
void installFinderFolderServices(Services& services);  // finderFoldersWithReply

}  // namespace companion::dialogs
