#pragma once
// A session whose accessibility and workspace are a modelled desktop, with the main queue's run
// loop running on a thread of its own as the agent's main thread would.

#include <memory>

#include "dialogs/dialogs_services.h"
#include "dialogs/support/app_model.h"
#include "support/main_loop.h"
#include "support/session_fixture.h"

namespace companion::testing {

struct DialogsHarness : SessionHarness {
    DialogsHarness() {
        platform.accessibility = desktop;
        platform.workspace = desktop;
        dialogs::installDialogsServices(services);
    }

    std::shared_ptr<Desktop> desktop = std::make_shared<Desktop>();
    MainLoop mainLoop{dispatcher.main()};
};

}  // namespace companion::testing
