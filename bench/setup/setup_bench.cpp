// What the window costs: setup mode's start-up to its first painted window (offscreen), and
// whether agent mode maps any of the window's libraries. Usage: setup_bench BIN_DIR

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int startUpRuns = 10;
constexpr auto agentSettle = std::chrono::milliseconds(300);

std::string temporaryFolder() {
    char pattern[] = "/tmp/companion-setup-bench-XXXXXX";
    return ::mkdtemp(pattern);
}

// Milliseconds from fork to the probe's word that the window was painted; negative on failure.
double setupStartUp(const std::string& probe, const std::string& folder) {
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    auto started = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(ends[1], STDOUT_FILENO);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        ::execl(probe.c_str(), probe.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(ends[1]);
    char word = 0;
    bool painted = ::read(ends[0], &word, 1) == 1;
    double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    ::close(ends[0]);
    ::waitpid(pid, nullptr, 0);
    return painted ? elapsed : -1;
}

// The shared objects an idle agent has mapped.
std::vector<std::string> agentMappings(const std::string& agent, const std::string& folder) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        ::execl(agent.c_str(), agent.c_str(), "--agent", nullptr);
        ::_exit(127);
    }
    std::this_thread::sleep_for(agentSettle);
    std::vector<std::string> objects;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        auto slash = line.find('/');
        if (slash == std::string::npos || line.find(".so") == std::string::npos) continue;
        std::string object = line.substr(slash);
        if (std::find(objects.begin(), objects.end(), object) == objects.end()) objects.push_back(object);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return objects;
}

}  // namespace

int main(int argc, char** argv) {
    std::string bin = argc > 1 ? argv[1] : "build-bench/bin";
    std::string folder = temporaryFolder();

    std::vector<double> times;
    for (int run = 0; run < startUpRuns; ++run) times.push_back(setupStartUp(bin + "/setup_probe", folder));
    std::sort(times.begin(), times.end());
    if (times.front() < 0) std::printf("setup mode start-up: the window was never painted\n");
    else std::printf("setup mode start-up to first painted window (offscreen): median %.1f ms, best %.1f ms\n",
                     times[times.size() / 2], times.front());

    auto objects = agentMappings(bin + "/tavro-companion", folder);
    bool qt = std::any_of(objects.begin(), objects.end(),
                          [](const auto& o) { return o.find("Qt") != std::string::npos || o.find("setup") != std::string::npos; });
    std::string list;
    for (const auto& o : objects) {
        list += ' ';
        list += std::filesystem::path(o).filename().string();
    }
    std::printf("agent mode maps:%s (window libraries: %s)\n", list.c_str(), qt ? "YES" : "none");
    std::filesystem::remove_all(folder);
    return 0;
}
