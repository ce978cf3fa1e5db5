#pragma once
// What the whole-process benchmarks share: the agent binary run on a private endpoint, and what
// /proc tells about it.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/endpoint.h"
#include "service/identity.h"

namespace companion::bench {

// The agent binary the figures are taken of; set by main.
inline std::string agentBinary;

inline std::string scratchFolder() {
    char pattern[] = "/tmp/companion-bench-XXXXXX";
    return ::mkdtemp(pattern);
}

inline void removeFolder(const std::string& folder) {
    std::string command = "rm -rf '" + folder + "'";
    [[maybe_unused]] int ignored = std::system(command.c_str());
}

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

// A field of /proc/<pid>/status, in its unit (kB for sizes).
inline long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}
inline long residentKiB(pid_t pid) { return statusField(pid, "VmRSS"); }
inline int threadCount(pid_t pid) { return static_cast<int>(statusField(pid, "Threads")); }

// The agent binary in agent mode, on an endpoint in a folder of its own; killed at the end.
class MeasuredAgent {
public:
    MeasuredAgent() : folder_(scratchFolder()), started_(std::chrono::steady_clock::now()) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
            ::execl(agentBinary.c_str(), agentBinary.c_str(), "--agent", nullptr);
            ::_exit(127);
        }
    }
    ~MeasuredAgent() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        removeFolder(folder_);
    }
    MeasuredAgent(const MeasuredAgent&) = delete;
    MeasuredAgent& operator=(const MeasuredAgent&) = delete;

    std::string socket() const { return folder_ + "/" + std::string(machServiceName); }
    pid_t pid() const { return pid_; }
    std::chrono::steady_clock::time_point started() const { return started_; }

    // A raw connection, once the agent listens.
    UniqueFd waitForSocket() const {
        for (;;) {
            auto connected = ipc::connectEndpoint(socket());
            if (auto* fd = std::get_if<UniqueFd>(&connected)) return std::move(*fd);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace companion::bench
