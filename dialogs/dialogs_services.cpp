#include "dialogs/dialogs_services.h"

namespace companion::dialogs {

using namespace service;

namespace {

// Answered on the arriving queue: the check returns at once even when the system shows its
// request for the permission.
void accessibilityWithPrompt(CompanionSession& session, Args<msg::accessibilityWithPrompt> args,
                             Reply<msg::accessibilityWithPrompt> reply) {
    auto [prompt] = args;
    reply(session.platform().accessibility->isProcessTrusted(prompt));
}

}  // namespace

void installDialogsServices(Services& services) {
    services.handlers.accessibilityWithPrompt = &accessibilityWithPrompt;
    installDetectionServices(services);
    installNavigationServices(services);
    installFinderFolderServices(services);
}

}  // namespace companion::dialogs
