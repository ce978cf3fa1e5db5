#include "finder/finder_services.h"

#include "finder/cloud_items.h"

namespace companion::finder {

void installFinderServices(Services& services) {
    installCloudItemServices(services);
}

}  // namespace companion::finder
