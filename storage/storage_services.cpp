#include "storage/storage_services.h"

#include "storage/mount.h"

namespace companion::storage {

void installStorageServices(Services& services) {
    installCatalogueServices(services);
    installSyncServices(services);
    installSshServices(services);
    installMountServices(services);
}

}  // namespace companion::storage
