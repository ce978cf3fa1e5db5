#include "images/images_services.h"

namespace companion::images {

void installImagesServices(Services& services) {
    (void)services;
    installUnmountServices(services);
}

}  // namespace companion::images
