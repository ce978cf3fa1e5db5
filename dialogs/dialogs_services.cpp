#include "dialogs/dialogs_services.h"

namespace companion::dialogs {

void installDialogsServices(Services& services) {
    (void)services;
}

}  // namespace companion::dialogs
