#include "core/agent.h"

#include <algorithm>
#include <cassert>

#include "core/command_runner.h"
#include "service/identity.h"

namespace companion {

std::variant<std::shared_ptr<CompanionAgent>, std::string> CompanionAgent::create(const Platform& platform,
                                                                                  const Services& services,
                                                                                  const std::string& socketPath) {
    auto listener = ipc::Listener::create(socketPath, *platform.dispatcher);
    if (auto* error = std::get_if<std::string>(&listener)) return *error;
    return std::make_shared<CompanionAgent>(platform, services,
                                            std::move(std::get<std::unique_ptr<ipc::Listener>>(listener)));
}

std::shared_ptr<CompanionAgent> CompanionAgent::adopt(const Platform& platform, const Services& services,
                                                      UniqueFd listening) {
    return std::make_shared<CompanionAgent>(platform, services,
                                            ipc::Listener::adopt(std::move(listening), *platform.dispatcher));
}

CompanionAgent::CompanionAgent(const Platform& platform, const Services& services,
                               std::unique_ptr<ipc::Listener> listener)
    : platform_(platform), services_(services), listener_(std::move(listener)) {}

bool CompanionAgent::shouldAcceptNewConnection(const std::shared_ptr<ipc::ServerConnection>& connection) {
    auto session = std::make_shared<CompanionSession>(connection, platform_, services_);
    connection->setExportedHandler(
        [session](const std::string& selector, bool oneWay, const nlohmann::json& arguments, auto reply) {
            return static_cast<bool>(session->handle(selector, oneWay, arguments, std::move(reply)));
        });
    connection->setInvalidationHandler([session, weakAgent = weak_from_this()] {
        session->stopAll();
        if (auto agent = weakAgent.lock()) {
            agent->platform_.mainQueue().async([weakAgent] {
                if (auto agent = weakAgent.lock()) agent->connectionEnded();
            });
        }
    });
    platform_.mainQueue().async([weakAgent = weak_from_this()] {
        auto agent = weakAgent.lock();
        if (!agent) return;
        assert(agent->platform_.mainQueue().isCurrent());
        ++agent->sessions_;
        if (agent->idleExit_) agent->idleExit_->cancel();
    });
    connection->resume();
    return true;
}

void CompanionAgent::connectionEnded() {
    assert(platform_.mainQueue().isCurrent());
    sessions_ = std::max<int64_t>(sessions_ - 1, 0);
    if (sessions_ < 1) scheduleIdleExit();
}

void CompanionAgent::scheduleIdleExit() { armIdleExit(platform_.idleExitDelay); }

void CompanionAgent::armIdleExit(dispatch::Clock::duration delay) {
    assert(platform_.mainQueue().isCurrent());
    if (idleExit_) idleExit_->cancel();
    idleExit_ = std::make_shared<dispatch::WorkItem>([weakAgent = weak_from_this()] {
        if (auto agent = weakAgent.lock()) agent->exitWhenIdle();
    });
    platform_.mainQueue().asyncAfter(delay, idleExit_);
}

// Tools still running for connections that have gone finish first: their work is the user's,
// and their replies must not be torn down mid-way. Every run ends within its limit and grace.
void CompanionAgent::exitWhenIdle() {
    if (sessions_ != 0) return;
    if (toolRunsInProgress() > 0) return armIdleExit(toolRunsRecheck);
    platform_.exitProcess(0);
}

namespace {

ipc::Admission hostAdmission() {
    ipc::Admission admission;
    for (const HostIdentity& host : hostIdentities) {
        admission.flatpakApplications.emplace_back(host.bundleIdentifier);
        admission.snapNames.emplace_back(host.snapName);
    }
    return admission;
}

std::shared_ptr<CompanionAgent> start(const Platform& platform, std::shared_ptr<CompanionAgent> agent) {
    auto& listener = agent->listener();
    listener.setDelegate([weakAgent = std::weak_ptr(agent)](const auto& connection) {
        auto agent = weakAgent.lock();
        return agent && agent->shouldAcceptNewConnection(connection);
    });
    listener.setConnectionCodeSigningRequirement(std::string(connectionRequirement));
    listener.setAdmission(hostAdmission());
    listener.resume();
    // The first idle period counts from start-up; scheduleIdleExit belongs to the main queue.
    platform.mainQueue().async([agent] { agent->scheduleIdleExit(); });
    return agent;
}

}  // namespace

std::variant<std::shared_ptr<CompanionAgent>, std::string> startAgent(const Platform& platform,
                                                                      const Services& services,
                                                                      const std::string& socketPath) {
    auto created = CompanionAgent::create(platform, services, socketPath);
    if (auto* error = std::get_if<std::string>(&created)) return *error;
    return start(platform, std::get<std::shared_ptr<CompanionAgent>>(created));
}

std::shared_ptr<CompanionAgent> startAgent(const Platform& platform, const Services& services, UniqueFd listening) {
    return start(platform, CompanionAgent::adopt(platform, services, std::move(listening)));
}

}  // namespace companion
