#include "storage/storage_services.h"

namespace companion::storage {

void installStorageServices(Services& services) {
    installCatalogueServices(services);
    installSyncServices(services);
    installSshServices(services);
}

}  // namespace companion::storage
