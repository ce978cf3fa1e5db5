// The sync log stream end to end: a stand-in rclone floods its log, the agent forwards every
// line to a client over the socket. Compared with `cat` moving the same stream through a pipe.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "client/companion_client.h"
#include "core/agent.h"
#include "core/command_runner.h"
#include "storage/storage_services.h"

namespace companion::bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr long floodLines = 200000;

std::string flood() { return std::string(COMPANION_BENCH_BIN) + "/flood_rclone"; }

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The baseline: the same stand-in's stream through a pipe into cat.
double catLinesPerSecond() {
    std::string script = "'";
    script.append(flood()).append("' sync 2>&1 >/dev/null | cat >/dev/null");
    auto start = Clock::now();
    runCommand("/bin/sh", {"-c", script}, std::nullopt, std::nullopt, 600);
    return floodLines / seconds(start);
}

}  // namespace

void syncStream() {
    char pattern[] = "/tmp/companion-stream-XXXXXX";
    std::string folder = ::mkdtemp(pattern);
    ::setenv("FLOOD_LINES", std::to_string(floodLines).c_str(), 1);

    dispatch::Dispatcher dispatcher;
    Platform platform = Platform::system(dispatcher);
    platform.tools.rcloneAbsoluteCandidates = {flood()};
    platform.tools.rcloneHomeCandidates = {};
    platform.exitProcess = [](int) {};
    Services services;
    installCoreServices(services);
    storage::installStorageServices(services);
    auto started = startAgent(platform, services, folder + "/agent.sock");
    auto agent = std::get<std::shared_ptr<CompanionAgent>>(started);
    std::thread mainThread([&] { dispatcher.main().run(); });

    std::atomic<long> received{0}, outOfOrder{0};
    service::CompanionClient callbacks;
    callbacks.syncOutput = [&](std::string, std::string line) {
        // each line carries its index; the stream must arrive whole and in order
        auto at = line.rfind("\"line\":");
        long index = at == std::string::npos ? -1 : std::atol(line.c_str() + at + 7);
        if (index != received.load()) ++outOfOrder;
        ++received;
    };
    auto connected = client::ClientConnection::connect(folder + "/agent.sock", client::typedCallbacks(callbacks));
    auto& connection = *std::get<std::unique_ptr<client::ClientConnection>>(connected);

    auto start = Clock::now();
    auto status = connection.call<service::msg::rcloneSyncWithId>(
        {"stream", folder, "bench:/nowhere", false, false, {}, std::nullopt, false});
    double elapsed = seconds(start);
    double agentRate = received / elapsed;
    double catRate = catLinesPerSecond();

    std::printf("sync stream: %ld of %ld lines reached the client, %ld out of order, reply %d\n", received.load(),
                floodLines, outOfOrder.load(), status ? std::get<0>(*status) : -999);
    std::printf("sync stream end to end: %.0f lines/s\n", agentRate);
    std::printf("cat through a pipe (baseline): %.0f lines/s\n", catRate);
    std::printf("sync stream / cat ratio: %.2f (goal: at least 0.33)\n", agentRate / catRate);

    agent->listener().stop();
    dispatcher.main().stop();
    mainThread.join();
    std::string cleanup = "rm -rf '" + folder + "'";
    [[maybe_unused]] int ignored = std::system(cleanup.c_str());
}

}  // namespace companion::bench
