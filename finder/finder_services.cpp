#include "finder/finder_services.h"

namespace companion::finder {

void installFinderServices(Services& services) {
    (void)services;
}

}  // namespace companion::finder
