#include "storage/ssh_probe.h"

#include <algorithm>
#include <tuple>

#include "core/input_checks.h"
#include "core/tool_message.h"

namespace companion::storage {

using namespace service;

namespace {

// Never ask for a password or a host key decision, and give up on a silent server well
// before the run's own time limit.
constexpr std::string_view unattendedOptions[] = {"-o", "BatchMode=yes", "-o", "ConnectTimeout=6"};
constexpr const char* portOption = "-p";
constexpr const char* identityOption = "-i";
constexpr const char* userSeparator = "@";
constexpr const char* probeCommand = "pwd";
constexpr double probeTimeLimitSeconds = 10;

// Port 0 leaves the choice to ssh (its configuration, or the standard port).
constexpr int64_t unsetPort = 0;

constexpr char carriageReturn = '\r';
constexpr char absolutePathStart = '/';

// A server whose shell ends lines with CR LF must not hand back a path with a control
// character in it, which every later request would refuse.
std::string_view withoutLineEnd(std::string_view line) {
    if (line.ends_with(carriageReturn)) line.remove_suffix(1);
    return line;
}

std::string destination(const SshLogin& login) {
    if (login.user.empty()) return login.host;
    return login.user + userSeparator + login.host;
}

void sshHomeWithHost(CompanionSession& session, Args<msg::sshHomeWithHost> args, Reply<msg::sshHomeWithHost> reply) {
    auto& [host, user, port, keyFile] = args;
    SshLogin login{std::move(host), std::move(user), port, std::move(keyFile)};
    if (!isAcceptableLogin(login)) return reply.refuse();
    // The agent's own environment goes along, so an authentication agent can answer.
    ToolRun probe{session.platform().tools.ssh, sshArguments(login), std::nullopt, std::nullopt,
                  probeTimeLimitSeconds};
    replyAfterToolRuns(session, std::move(reply), std::optional<ToolRun>(std::move(probe)),
                       [](const CommandResult& result) { return std::tuple<std::optional<std::string>>{probedHome(result)}; });
}

}  // namespace

bool isSshHost(std::string_view host) {
    return isHostName(host);
}

bool isAcceptableLogin(const SshLogin& login) {
    if (!isSshHost(login.host)) return false;
    if (!login.user.empty() && !isIdentifier(login.user)) return false;
    if (login.port < unsetPort || login.port > highestPort) return false;
    return login.keyFile.empty() || sanitizedPath(login.keyFile, true).has_value();
}

std::vector<std::string> sshArguments(const SshLogin& login) {
    std::vector<std::string> arguments(std::begin(unattendedOptions), std::end(unattendedOptions));
    if (login.port > unsetPort) {
        arguments.emplace_back(portOption);
        arguments.push_back(std::to_string(login.port));
    }
    if (!login.keyFile.empty()) {
        arguments.emplace_back(identityOption);
        arguments.push_back(login.keyFile);
    }
    arguments.push_back(destination(login));
    arguments.emplace_back(probeCommand);
    return arguments;
}

std::optional<std::string> probedHome(const CommandResult& result) {
    if (result.status != 0) return std::nullopt;
    std::string_view rest = result.output;
    std::optional<std::string> home;
    // Login banners may come first: the last absolute path wins.
    while (!rest.empty()) {
        const size_t end = std::min(rest.find(lineFeed), rest.size());
        const std::string_view line = trimmed(withoutLineEnd(rest.substr(0, end)), blanks);
        if (!line.empty() && line.front() == absolutePathStart) home = std::string(line);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return home;
}

void installSshServices(Services& services) {
    services.handlers.sshHomeWithHost = &sshHomeWithHost;
}

}  // namespace companion::storage
