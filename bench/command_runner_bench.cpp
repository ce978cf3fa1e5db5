// What runCommand costs over the bare minimum of starting a tool and waiting for it: the pipes,
// the pidfd, the poll loop and the decoding. Both run /bin/true, interleaved so that any drift
// of the machine's load falls on both alike, and each figure is a median of single calls.

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/command_runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* tool = "/bin/true";
constexpr int samples = 400;

void spawnAndWait() {
    char* const argv[] = {const_cast<char*>(tool), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0) return;
    int status = 0;
    waitpid(pid, &status, 0);
}

void runTool() { benchmark::DoNotOptimize(companion::runCommand(tool, {})); }

template <typename Call>
double microseconds(Call call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> samples) {
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

void runCommandBesideBareSpawn(benchmark::State& state) {
    std::vector<double> bare;
    std::vector<double> runner;
    bool bareFirst = true;
    for (auto _ : state) {
        if (bareFirst) bare.push_back(microseconds(spawnAndWait));
        runner.push_back(microseconds(runTool));
        if (!bareFirst) bare.push_back(microseconds(spawnAndWait));
        bareFirst = !bareFirst;
    }
    const double bareMedian = median(bare);
    const double runnerMedian = median(runner);
    state.counters["bare spawn median us"] = bareMedian;
    state.counters["runCommand median us"] = runnerMedian;
    state.counters["runCommand/bare spawn median ratio"] = runnerMedian / bareMedian;
}

BENCHMARK(runCommandBesideBareSpawn)
    ->Name("runCommand_vs_bare_spawn/true")
    ->Iterations(samples)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
