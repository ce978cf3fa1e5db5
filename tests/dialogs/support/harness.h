#pragma once
// A session whose accessibility and workspace are a modelled desktop, with the main queue's run
// loop running on a thread of its own as the agent's main thread would.

#include <future>
#include <memory>
#include <thread>

#include "dialogs/dialogs_services.h"
#include "dialogs/support/app_model.h"
#include "support/session_fixture.h"

namespace companion::testing {

struct DialogsHarness : SessionHarness {
    DialogsHarness() {
        platform.accessibility = desktop;
        platform.workspace = desktop;
        dialogs::installDialogsServices(services);
        // Waits until the run loop serves: stopping it any earlier would go unnoticed.
        std::promise<void> serving;
        dispatcher.main().async([&serving] { serving.set_value(); });
        mainThread = std::thread([this] { dispatcher.main().run(); });
        serving.get_future().wait();
    }
    ~DialogsHarness() {
        dispatcher.main().stop();
        mainThread.join();
    }

    std::shared_ptr<Desktop> desktop = std::make_shared<Desktop>();
    std::thread mainThread;
};

}  // namespace companion::testing
