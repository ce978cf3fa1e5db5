// The entry: one executable, two modes, chosen by "--agent" anywhere on the command line.

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <string_view>

#include "app/setup_loader.h"
#include "core/agent.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/socket_activation.h"
#include "service/identity.h"
#include "care/care_services.h"
#include "dialogs/dialogs_services.h"
#include "finder/finder_services.h"
#include "images/images_services.h"
#include "storage/storage_services.h"

namespace {

constexpr std::string_view agentArgument = "--agent";
constexpr std::string_view versionArgument = "--version";
constexpr const char* versionLine = "tavro-companion " COMPANION_VERSION "\n";
constexpr int exitNoEndpoint = 1;
constexpr int largeBlockThreshold = 256 * 1024;

bool hasArgument(int argc, char** argv, std::string_view wanted) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] == wanted) return true;
    }
    return false;
}

// Started on demand, the agent serves the endpoint the service manager holds; otherwise its own.
std::variant<std::shared_ptr<companion::CompanionAgent>, std::string> startServing(
    const companion::Platform& platform, const companion::Services& services) {
    using namespace companion;
    auto handedOver = ipc::takeHandedOverSocket();
    if (auto* problem = std::get_if<std::string>(&handedOver)) return *problem;
    if (auto* socket = std::get_if<UniqueFd>(&handedOver)) return startAgent(platform, services, std::move(*socket));
    return startAgent(platform, services, ipc::endpointPath(std::string(machServiceName)));
}

int runAgent() {
    using namespace companion;
    // A client that goes away mid-reply must cost that client its connection, not the agent its life.
    std::signal(SIGPIPE, SIG_IGN);
    // Large requests come and go by the megabyte. By default the allocator raises its threshold
    // for mapping blocks of their own after the first is freed, and later ones then stay in its
    // heaps; a fixed threshold hands each back to the system when freed.
    ::mallopt(M_MMAP_THRESHOLD, largeBlockThreshold);
    dispatch::Dispatcher dispatcher;
    Platform platform = Platform::system(dispatcher);
    int exitStatus = 0;
    // The idle exit ends the main queue's run; the stop below then goes in order.
    platform.exitProcess = [&](int status) {
        exitStatus = status;
        dispatcher.main().stop();
    };
    Services services;
    installCoreServices(services);
    storage::installStorageServices(services);
    images::installImagesServices(services);
    dialogs::installDialogsServices(services);
    finder::installFinderServices(services);
    care::installCareServices(services);

    auto started = startServing(platform, services);
    if (auto* error = std::get_if<std::string>(&started)) {
        std::fprintf(stderr, "tavro-companion: %s\n", error->c_str());
        return exitNoEndpoint;
    }
    dispatcher.main().run();
    // In order: no new connection, the open ones ended and their clean-up done; then the
    // dispatcher stops its loop and joins its threads, so no worker outlives what it uses.
    auto& agent = std::get<std::shared_ptr<CompanionAgent>>(started);
    agent->listener().stop();
    agent.reset();
    return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    if (hasArgument(argc, argv, versionArgument)) {
        std::fputs(versionLine, stdout);
        return 0;
    }
    if (hasArgument(argc, argv, agentArgument)) return runAgent();
    return companion::app::runSetup(argc, argv);
}
