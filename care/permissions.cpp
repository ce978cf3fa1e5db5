#include "care/permissions.h"

#include <algorithm>
#include <tuple>

#include "core/input_checks.h"
#include "core/scripts.h"

namespace companion::care {

using namespace service;

namespace {

constexpr CharacterClass serviceNameCharacters = {.upper = true, .lower = true, .others = ""};
constexpr char pathStart = '/';
constexpr char singleQuote = '\'';
constexpr const char* resetCommand = "reset";
constexpr double resetTimeLimitSeconds = 10;

bool isServiceName(const std::string& service) {
    return matchesNameRule(service, serviceNameCharacters, serviceNameCharacters);
}

bool isClient(const std::string& client) {
    if (isIdentifier(client)) return true;
    return client.starts_with(pathStart) && !hasControlCharacters(client) &&
           client.find(singleQuote) == std::string::npos;
}

void resetPermissionsWithServices(CompanionSession& session, Args<msg::resetPermissionsWithServices> args,
                                  Reply<msg::resetPermissionsWithServices> reply) {
    auto [services, clients, systemWide] = std::move(args);
    if (!isPermissionResetAcceptable(services, clients, systemWide)) return reply.refuse();
    session.submit(std::move(reply), [services = std::move(services), clients = std::move(clients),
                                      systemWide = std::move(systemWide), self = session.shared_from_this()] {
        const std::string& tccutil = self->platform().tools.tccutil;
        std::vector<ToolRun> asUser;
        std::vector<ShellCommand> asAdministrator;
        for (size_t i = 0; i < services.size(); ++i) {
            if (systemWide[i])
                asAdministrator.push_back({tccutil, resetCommand, services[i], clients[i]});
            else
                asUser.push_back({tccutil, {resetCommand, services[i], clients[i]}, std::nullopt, std::nullopt,
                                  resetTimeLimitSeconds});
        }
        const AdminShellResult result = runAsUserThenAsAdministrator(self->platform(), asUser, asAdministrator);
        return std::tuple{result.success, result.error};
    });
}

}  // namespace

bool isPermissionResetAcceptable(const std::vector<std::string>& services, const std::vector<std::string>& clients,
                                 const std::vector<bool>& systemWide) {
    if (services.size() != clients.size() || services.size() != systemWide.size()) return false;
    return std::all_of(services.begin(), services.end(), isServiceName) &&
           std::all_of(clients.begin(), clients.end(), isClient);
}

void installPermissionServices(Services& services) {
    services.handlers.resetPermissionsWithServices = &resetPermissionsWithServices;
}

}  // namespace companion::care
