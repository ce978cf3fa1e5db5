#pragma once
// Runs the built agent binary on a private endpoint in a temporary folder.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/command_runner.h"
#include "service/identity.h"
#include "support/eventually.h"
#include "support/session_fixture.h"

namespace companion::testing {

inline std::string binary(const std::string& name) { return std::string(COMPANION_BIN_DIR) + "/" + name; }

// One run of the command-line client against the agent at `socket`.
inline CommandResult ctl(const std::string& socket, std::vector<std::string> words, double limitSeconds = 60) {
    words.insert(words.begin(), {"--socket", socket});
    return runCommand(binary("tavro-companion-ctl"), words, std::nullopt, std::nullopt, limitSeconds);
}

// Forks and execs `argv` with XDG_RUNTIME_DIR set to `runtimeDir` and `environment` added;
// standard error goes to `errorLog` when one is named.
inline pid_t spawnWithRuntimeDir(const std::vector<std::string>& argv, const std::string& runtimeDir,
                                 const std::vector<std::pair<std::string, std::string>>& environment = {},
                                 const std::string& errorLog = "") {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!errorLog.empty()) {
        const int log = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) ::_exit(126);
    }
    ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

class AgentProcess {
public:
    explicit AgentProcess(std::vector<std::string> extraArguments = {"--agent"})
        : AgentProcess(std::vector<std::string>{}, std::move(extraArguments)) {}
    // Starts the agent through `launcher`: a program and its arguments that end by running the
    // rest of their command line (the binary and `extraArguments`), in the same process.
    // `keepErrors`: the agent's standard error goes to a file, read back by `errorLines`.
    AgentProcess(std::vector<std::string> launcher, std::vector<std::string> extraArguments, bool keepErrors = false) {
        std::vector<std::string> argv = std::move(launcher);
        argv.push_back(binary("tavro-companion"));
        argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
        pid_ = spawnWithRuntimeDir(argv, runtime_.str(), {}, keepErrors ? errorLog() : "");
    }
    ~AgentProcess() {
        if (!exitStatus_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    std::string socketPath() const { return runtime_.str() + "/" + std::string(machServiceName); }
    std::string runtimeDir() const { return runtime_.str(); }
    std::string errorLog() const { return runtime_.str() + "/agent-errors"; }
    // The lines the agent wrote to standard error that contain `part`.
    std::vector<std::string> errorLines(const std::string& part) const {
        std::ifstream log(errorLog());
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);)
            if (line.find(part) != std::string::npos) lines.push_back(line);
        return lines;
    }
    pid_t pid() const { return pid_; }

    // True once the socket exists (the agent is listening).
    bool waitForSocket(std::chrono::seconds limit = std::chrono::seconds(20)) {
        struct stat info{};
        const auto listening = [&] { return ::stat(socketPath().c_str(), &info) == 0 && S_ISSOCK(info.st_mode); };
        return eventually([&] { return listening() || exited(); }, limit) && listening();
    }

    bool exited() {
        int status = 0;
        if (!exitStatus_ && ::waitpid(pid_, &status, WNOHANG) == pid_) exitStatus_ = status;
        return exitStatus_.has_value();
    }

    // The raw wait status once the agent has ended within `limit`.
    std::optional<int> waitForExit(std::chrono::seconds limit) {
        eventually([&] { return exited(); }, limit);
        return exitStatus_;
    }

private:
    TempDir runtime_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

}  // namespace companion::testing
