#pragma once
// The remote-storage subsystem's messages.

#include "core/session.h"

namespace companion::storage {

void installStorageServices(Services& services);

// Each part of the subsystem fills the slots of its own messages.
void installCatalogueServices(Services& services);  // rclone discovery, remotes, test, stat, authorize
void installSyncServices(Services& services);       // rcloneSyncWithId, cancelSyncWithId
void installSshServices(Services& services);        // sshHomeWithHost

}  // namespace companion::storage
