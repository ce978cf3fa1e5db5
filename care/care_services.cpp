#include "care/care_services.h"

#include "care/git_status.h"
#include "care/time_machine.h"

namespace companion::care {

void installCareServices(Services& services) {
    installGitStatusServices(services);
    installTimeMachineServices(services);
}

}  // namespace companion::care
