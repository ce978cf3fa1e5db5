#include "care/care_services.h"

#include "care/git_status.h"
#include "care/time_machine.h"
#include "care/launch_items.h"
#include "care/login_items.h"
#include "care/maintenance.h"
#include "care/permissions.h"

namespace companion::care {

void installCareServices(Services& services) {
    installGitStatusServices(services);
    installTimeMachineServices(services);
    installMaintenanceServices(services);
    installLaunchItemServices(services);
    installLoginItemServices(services);
    installPermissionServices(services);
}

}  // namespace companion::care
