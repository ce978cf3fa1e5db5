#include "images/images_services.h"

#include "images/encrypted_archive.h"
#include "images/vaults.h"

namespace companion::images {

void installImagesServices(Services& services) {
    installVaultServices(services);
    installArchiveServices(services);
    installUnmountServices(services);
}

}  // namespace companion::images
