#pragma once
// The agent-mode root: the listener, a session per connection, and the idle exit.

#include <chrono>
#include <memory>
#include <string>
#include <variant>

#include "core/session.h"
#include "platform/ipc/listener.h"

namespace companion {

// Who may connect, in the platform's requirement language: the host application or its test
// build, signed by the maker's team.
inline constexpr std::string_view connectionRequirement =
    "(identifier \"es.vextralune.tavro\" or identifier \"es.vextralune.tavro.sandboxtest\") and anchor apple "
    "generic and (certificate leaf[field.1.2.840.113635.100.6.1.9] exists or certificate "
    "leaf[field.1.2.840.113635.100.6.1.25.1] exists or certificate leaf[subject.OU] = \"QX47MV8KT3\")";

class CompanionAgent : public std::enable_shared_from_this<CompanionAgent> {
public:
    // Creates the listener on `socketPath`; an error text when the endpoint cannot be had.
    static std::variant<std::shared_ptr<CompanionAgent>, std::string> create(const Platform& platform,
                                                                             const Services& services,
                                                                             const std::string& socketPath);
    // Serves a listening socket handed over by the service manager; see `ipc::Listener::adopt`.
    static std::shared_ptr<CompanionAgent> adopt(const Platform& platform, const Services& services,
                                                 UniqueFd listening);

    ipc::Listener& listener() { return *listener_; }

    // The listener's delegate: gives the connection its session and counts it.
    bool shouldAcceptNewConnection(const std::shared_ptr<ipc::ServerConnection>& connection);
    // Arms (or re-arms) the exit; main queue only.
    void scheduleIdleExit();
    // Main queue only.
    int64_t sessions() const { return sessions_; }

    CompanionAgent(const Platform& platform, const Services& services, std::unique_ptr<ipc::Listener> listener);

private:
    // How often an agent without connections looks again whether its last tools have ended.
    static constexpr auto toolRunsRecheck = std::chrono::seconds(1);

    void connectionEnded();
    void armIdleExit(dispatch::Clock::duration delay);
    void exitWhenIdle();

    const Platform& platform_;
    const Services& services_;
    std::unique_ptr<ipc::Listener> listener_;
    int64_t sessions_ = 0;                                // main queue only
    std::shared_ptr<dispatch::WorkItem> idleExit_;        // main queue only
};

// The whole start-up of agent mode, in its order: listener, delegate, requirement, resume,
// idle exit. The caller then runs the main queue.
std::variant<std::shared_ptr<CompanionAgent>, std::string> startAgent(const Platform& platform,
                                                                      const Services& services,
                                                                      const std::string& socketPath);
// The same start-up on a listening socket handed over by the service manager: no lock is taken
// and the socket file is left as it is, at start and at exit.
std::shared_ptr<CompanionAgent> startAgent(const Platform& platform, const Services& services, UniqueFd listening);

}  // namespace companion
