#include "finder/finder_services.h"

#include "finder/actions.h"
#include "finder/preferences.h"

namespace companion::finder {

void installFinderServices(Services& services) {
    installPreferenceServices(services);
    installActionServices(services);
}

}  // namespace companion::finder
