#pragma once
// What the setup window asks of the system around it: the agent's registration, the
// Accessibility permission, the host application, and the desktop's address opener.

#include <memory>
#include <optional>
#include <string>

#include "platform/service_management/service_management.h"

namespace companion::setup {

// The host application's desktop entry, its stand-in for a bundle identifier.
inline constexpr const char* hostDesktopEntry = "es.vextralune.tavro.desktop";
// Where the Accessibility permission is granted.
inline constexpr const char* accessibilitySettingsAddress =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

class SetupSystem {
public:
    virtual ~SetupSystem() = default;
    // The agent's registration with the service manager.
    virtual service_management::AgentService& agentService() = 0;
    // Whether this program may use the Accessibility interface.
    virtual bool isProcessTrusted() = 0;
    // The same check, asking the system to show its prompt when not trusted.
    virtual void promptForTrust() = 0;
    // Where the host application is installed; nothing when it is not.
    virtual std::optional<std::string> hostApplicationLocation() = 0;
    virtual void openApplication(const std::string& location) = 0;
    // Hands an address to the desktop's opener; nothing may take it.
    virtual void openAddress(const std::string& address) = 0;
};

// This desktop's answers.
std::unique_ptr<SetupSystem> linuxSetupSystem();

}  // namespace companion::setup
