#include "care/care_services.h"

namespace companion::care {

void installCareServices(Services& services) {
    (void)services;
}

}  // namespace companion::care
