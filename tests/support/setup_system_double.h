#pragma once
// A setup system whose answers the test sets and whose every call is recorded.

#include <optional>
#include <string>
#include <vector>

#include "setup/setup_system.h"

namespace companion::testing {

using service_management::ServiceStatus;

class AgentServiceDouble final : public service_management::AgentService {
public:
    ServiceStatus status() override {
        calls.push_back("status");
        return currentStatus;
    }
    std::optional<std::string> registerService() override {
        calls.push_back("register");
        currentStatus = ServiceStatus::enabled;
        return std::nullopt;
    }
    std::optional<std::string> unregisterService() override {
        calls.push_back("unregister");
        currentStatus = ServiceStatus::notRegistered;
        return std::nullopt;
    }
    void openSystemSettingsLoginItems() override { calls.push_back("openSystemSettingsLoginItems"); }

    ServiceStatus currentStatus = ServiceStatus::notRegistered;
    std::vector<std::string> calls;
};

class SetupSystemDouble final : public setup::SetupSystem {
public:
    service_management::AgentService& agentService() override { return agent; }
    bool isProcessTrusted() override {
        calls.push_back("isProcessTrusted");
        return trusted;
    }
    void promptForTrust() override { calls.push_back("promptForTrust"); }
    std::optional<std::string> hostApplicationLocation() override {
        calls.push_back("hostApplicationLocation");
        return hostLocation;
    }
    void openApplication(const std::string& location) override { calls.push_back("openApplication " + location); }
    void openAddress(const std::string& address) override { calls.push_back("openAddress " + address); }

    AgentServiceDouble agent;
    bool trusted = false;
    std::optional<std::string> hostLocation;
    std::vector<std::string> calls;
};

}  // namespace companion::testing
