#include "finder/finder_services.h"

#include "finder/cloud_items.h"
#include "finder/actions.h"
#include "finder/preferences.h"

namespace companion::finder {

void installFinderServices(Services& services) {
    installCloudItemServices(services);
    installPreferenceServices(services);
    installActionServices(services);
}

}  // namespace companion::finder
