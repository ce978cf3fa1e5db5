#include "platform/service_management/service_management.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>

namespace companion::service_management {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view definitionSuffix = ".plist";
constexpr const char* userScope = "--user";
constexpr const char* configHomeVariable = "XDG_CONFIG_HOME";
constexpr const char* defaultConfigFolder = "/.config";
constexpr const char* unitSubfolder = "/systemd/user";
constexpr const char* agentArgument = "--agent";
constexpr const char* description = "Tavro Files Companion";
// What `is-enabled` says of a unit it has no file for, in its newer and older words.
constexpr std::string_view notFoundWord = "not-found";
constexpr std::string_view noSuchFileText = "No such file or directory";

// `is-enabled` words under which the socket starts the agent on demand.
const std::set<std::string_view> enabledWords = {"enabled", "enabled-runtime"};
// Words of a unit that exists but does not start the agent; registering changes that.
const std::set<std::string_view> notRegisteredWords = {
    "disabled", "masked", "masked-runtime", "linked", "linked-runtime", "static",
    "indirect", "alias",  "generated",      "transient", "bad",          notFoundWord};

std::string baseName(const AgentUnits& units) {
    std::string_view name = units.definitionName;
    if (name.ends_with(definitionSuffix)) name.remove_suffix(definitionSuffix.size());
    return std::string(name);
}

// Unit files expand "%" specifiers everywhere; a path keeps its own "%" as "%%".
std::string withoutSpecifiers(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (c == '%') result += '%';
        result += c;
    }
    return result;
}

// A literal endpoint is an absolute path; one that begins with the runtime-folder specifier is
// written for every user, and keeps that specifier while the rest stays literal.
std::string listenStreamValue(std::string_view socketPath) {
    std::string_view specifier = runtimeFolderSpecifier;
    if (!socketPath.starts_with(specifier)) return withoutSpecifiers(socketPath);
    return std::string(specifier) + withoutSpecifiers(socketPath.substr(specifier.size()));
}

// systemd refuses to run an executable whose name holds quotes, backslashes or control characters.
bool systemdCanRun(std::string_view executable) {
    for (unsigned char c : executable)
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
    return true;
}

// The executable as the first word of ExecStart, quoted so that spaces and "%" stay literal (the
// executable's name is not subject to variable expansion).
std::string execWord(std::string_view executable) {
    std::string quoted(1, '"');
    quoted += withoutSpecifiers(executable);
    quoted += '"';
    return quoted;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Writes the file whole or not at all: a half-written unit would be worse than none.
std::optional<std::string> writeFileAtomically(const fs::path& path, const std::string& contents) {
    fs::path temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << contents;
        if (!out.flush()) return "cannot write " + temporary.string();
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) return "cannot write " + path.string() + ": " + error.message();
    return std::nullopt;
}

std::optional<std::string> failure(const SystemctlAnswer& answer) {
    if (answer.status == 0) return std::nullopt;
    return answer.errorOutput.empty() ? "systemctl ended with status " + std::to_string(answer.status)
                                      : firstLine(answer.errorOutput);
}

class SystemdAgentService final : public AgentService {
public:
    SystemdAgentService(AgentUnits units, Systemctl systemctl)
        : units_(std::move(units)), systemctl_(std::move(systemctl)) {}

    ServiceStatus status() override { return statusFromIsEnabled(run({"is-enabled", socketUnitName(units_)})); }

    std::optional<std::string> registerService() override {
        if (units_.origin == UnitOrigin::packaged) return failure(run({"enable", "--now", socketUnitName(units_)}));
        if (!systemdCanRun(units_.executable)) return "systemd cannot run " + units_.executable;
        std::error_code error;
        fs::create_directories(units_.unitFolder, error);
        if (error) return "cannot create " + units_.unitFolder + ": " + error.message();
        if (auto problem = writeFileAtomically(servicePath(), serviceUnitText(units_))) return problem;
        if (auto problem = writeFileAtomically(socketPath(), socketUnitText(units_))) return problem;
        if (auto problem = failure(run({"daemon-reload"}))) return problem;
        return failure(run({"enable", "--now", socketUnitName(units_)}));
    }

    // Takes every step even when one fails, so that as little as possible stays behind.
    std::optional<std::string> unregisterService() override {
        auto problem = failure(run({"disable", "--now", socketUnitName(units_)}));
        auto stopped = failure(run({"stop", serviceUnitName(units_)}));
        // The package owns its units: they stay, only the user's choice is undone.
        if (units_.origin == UnitOrigin::packaged) return problem ? problem : stopped;
        std::error_code ignored;
        fs::remove(socketPath(), ignored);
        fs::remove(servicePath(), ignored);
        auto reloaded = failure(run({"daemon-reload"}));
        if (!problem) problem = stopped;
        if (!problem) problem = reloaded;
        return problem;
    }

    // The user's systemd needs no approval of a unit, so there is no settings page to show.
    void openSystemSettingsLoginItems() override {}

private:
    SystemctlAnswer run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), userScope);
        return systemctl_(arguments);
    }
    fs::path socketPath() const { return fs::path(units_.unitFolder) / socketUnitName(units_); }
    fs::path servicePath() const { return fs::path(units_.unitFolder) / serviceUnitName(units_); }

    AgentUnits units_;
    Systemctl systemctl_;
};

}  // namespace

std::string socketUnitName(const AgentUnits& units) { return baseName(units) + ".socket"; }
std::string serviceUnitName(const AgentUnits& units) { return baseName(units) + ".service"; }

std::string socketUnitText(const AgentUnits& units) {
    return std::string("[Unit]\n") + "Description=" + description + " endpoint\n" +
           "\n"
           "[Socket]\n"
           "ListenStream=" + listenStreamValue(units.socketPath) + "\n" +
           "SocketMode=0600\n"
           "DirectoryMode=0700\n"
           "Service=" + serviceUnitName(units) + "\n" +
           "\n"
           "[Install]\n"
           "WantedBy=sockets.target\n";
}

std::string serviceUnitText(const AgentUnits& units) {
    return std::string("[Unit]\n") + "Description=" + description + " agent\n" +
           "Requires=" + socketUnitName(units) + "\n" +
           "After=" + socketUnitName(units) + "\n" +
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" + execWord(units.executable) + " " + agentArgument + "\n" +
           // Only the agent is stopped when it leaves (its idle exit, or a stop): the mounts and
           // vaults it started keep serving their folders, for the stale-mount list to find.
           "KillMode=process\n";
}

std::string userUnitFolder(const std::string& home) {
    const char* configHome = std::getenv(configHomeVariable);
    if (configHome && configHome[0] == '/') return std::string(configHome) + unitSubfolder;
    return home + defaultConfigFolder + unitSubfolder;
}

ServiceStatus statusFromIsEnabled(const SystemctlAnswer& answer) {
    std::string word = firstLine(answer.output);
    if (enabledWords.contains(word)) return ServiceStatus::enabled;
    if (notRegisteredWords.contains(word)) return ServiceStatus::notRegistered;
    // Older systemd says a unit has no file only on its error output.
    if (word.empty() && answer.errorOutput.find(noSuchFileText) != std::string::npos)
        return ServiceStatus::notRegistered;
    // No answer we understand: no user service manager, or no systemctl at all.
    return ServiceStatus::notFound;
}

std::unique_ptr<AgentService> systemdAgentService(AgentUnits units, Systemctl systemctl) {
    return std::make_unique<SystemdAgentService>(std::move(units), std::move(systemctl));
}

}  // namespace companion::service_management
