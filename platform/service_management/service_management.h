#pragma once
// The service manager that starts the agent on demand: registering the agent, removing it, and
// its state, in the four values the setup window shows.
//
// Here the service manager is the user's systemd: a socket unit holds the agent's endpoint and
// starts the service unit, which runs this executable with "--agent", on the first connection.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace companion::service_management {

// The registration state of the agent, with the values the setup window is written against.
enum class ServiceStatus : int {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
};

// One registrable agent. Every call asks the service manager afresh; nothing is cached.
class AgentService {
public:
    virtual ~AgentService() = default;
    virtual ServiceStatus status() = 0;
    // Each returns an error text when the service manager refused or could not be asked.
    virtual std::optional<std::string> registerService() = 0;
    virtual std::optional<std::string> unregisterService() = 0;
    // Shows the user where background items are approved; nothing where there is no such place.
    virtual void openSystemSettingsLoginItems() = 0;
};

// The agent's launch definition; its name ends in ".plist" the way the host knows it.
inline constexpr const char* agentDefinitionName = "es.vextralune.tavro.companion.plist";

// What one `systemctl` run answered.
struct SystemctlAnswer {
    int32_t status = -1;
    std::string output;
    std::string errorOutput;
};
// Runs `systemctl` with these arguments (the caller adds nothing); blocks until it has ended.
using Systemctl = std::function<SystemctlAnswer(const std::vector<std::string>& arguments)>;

// A socket path that begins with this is under the user's runtime folder, whoever the user is.
inline constexpr const char* runtimeFolderSpecifier = "%t/";

// Where the units come from: written into the user's unit folder when registering (a build
// tree), or installed for every user by the package, so that registering only enables them.
enum class UnitOrigin { writtenForUser, packaged };

// What the units say and where they are written.
struct AgentUnits {
    std::string definitionName = agentDefinitionName;
    std::string executable;  // absolute path of this executable
    std::string socketPath;  // the agent's endpoint, absolute or beginning with runtimeFolderSpecifier
    std::string unitFolder;  // the user's unit folder
    UnitOrigin origin = UnitOrigin::writtenForUser;
};

// The unit names: the definition name without ".plist", with the unit type.
std::string socketUnitName(const AgentUnits& units);
std::string serviceUnitName(const AgentUnits& units);
// The unit files' exact contents.
std::string socketUnitText(const AgentUnits& units);
std::string serviceUnitText(const AgentUnits& units);

// "$XDG_CONFIG_HOME/systemd/user" when that variable is an absolute path, else
// "$HOME/.config/systemd/user" (`home` without a trailing "/").
std::string userUnitFolder(const std::string& home);

// Reads the answer of `systemctl --user is-enabled` for the socket unit.
ServiceStatus statusFromIsEnabled(const SystemctlAnswer& answer);

// The agent as the user's systemd knows it.
std::unique_ptr<AgentService> systemdAgentService(AgentUnits units, Systemctl systemctl);

}  // namespace companion::service_management
