// The dialog assistant on a headless desktop: detection and navigation of real GTK 3, GTK 4, Qt 6
// and Qt 5 dialogs through the agent binary, one toolkit a line, and what the agent holds once it has
// served them.
//
// Usage: dialog_bench AGENT_BINARY

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <thread>

#include "bench/agent/agent_measure.h"
#include "client/companion_client.h"
#include "support/desktop_session.h"
#include "support/files.h"

namespace companion {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;
using bench::percentile;
using service::msg::detectDialogWithPid;
using service::msg::navigateDialogWithPid;

constexpr int detectionSamples = 30;
constexpr int navigationSamples = 6;
constexpr auto appLimit = std::chrono::seconds(20);
constexpr auto readyLimit = std::chrono::seconds(20);

std::unique_ptr<client::ClientConnection> connect(const bench::MeasuredAgent& agent) {
    agent.waitForSocket();
    for (;;) {
        auto connected = client::ClientConnection::connect(agent.socket());
        if (auto* c = std::get_if<std::unique_ptr<client::ClientConnection>>(&connected)) return std::move(*c);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool detected(client::ClientConnection& connection, int32_t pid) {
    auto reply = connection.call<detectDialogWithPid>({pid});
    return reply && std::get<2>(*reply) == 0;
}

struct Toolkit {
    const char* name;
    std::vector<std::string> command;  // the program, to which the start folder is appended
};

// Detection's median and navigation's, for one toolkit's Open dialog; false when it failed.
bool measure(client::ClientConnection& connection, testing::DesktopSession& desktop, const Toolkit& toolkit,
             const std::filesystem::path& folderA, const std::filesystem::path& folderB) {
    auto command = toolkit.command;
    command.push_back(folderA.string());
    auto app = desktop.launch(command);
    if (!app.waitForLine("shown", appLimit)) {
        std::printf("dialog assistant, %s: FAILED (the dialog never showed)\n", toolkit.name);
        return false;
    }
    const int32_t pid = app.pid();
    const auto readyBy = Clock::now() + readyLimit;
    while (!detected(connection, pid) && Clock::now() < readyBy) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    std::vector<double> detection;
    for (int i = 0; i < detectionSamples; ++i) {
        const auto start = Clock::now();
        if (!detected(connection, pid)) {
            std::printf("dialog detection, %s: FAILED (no dialog found)\n", toolkit.name);
            return false;
        }
        detection.push_back(Millis(Clock::now() - start).count());
    }
    std::printf("dialog detection, %s, request to reply, median of %d: %.1f ms (goal: under 50 ms)\n", toolkit.name,
                detectionSamples, percentile(detection, 0.5));

    std::vector<double> navigation;
    for (int i = 0; i < navigationSamples; ++i) {
        const std::string target = (i % 2 == 0 ? folderB : folderA).string();
        const auto start = Clock::now();
        connection.call<navigateDialogWithPid>({pid, target});
        if (!app.waitForLine("folder " + target, appLimit)) {
            std::printf("dialog navigation, %s: FAILED (the dialog never showed %s)\n", toolkit.name, target.c_str());
            return false;
        }
        navigation.push_back(Millis(Clock::now() - start).count());
    }
    std::printf("dialog navigation, %s, request to the folder shown, median of %d: %.0f ms (goal: under 1000 ms)\n",
                toolkit.name, navigationSamples, percentile(navigation, 0.5));
    return true;
}

int run() {
    testing::DesktopSession desktop;
    if (!desktop.unavailable().empty()) {
        std::printf("dialog assistant: skipped (no headless desktop: %s)\n", desktop.unavailable().c_str());
        return 0;
    }
    desktop.switchAssistiveTechnologies(true);
    testing::TempDir folders;
    const std::filesystem::path folderA = folders.path() / "a", folderB = folders.path() / "b";
    for (const auto& folder : {folderA, folderB}) {
        std::filesystem::create_directories(folder);
        testing::writeFile(folder / "file.txt", "x");
        testing::writeFile(folder / "other.txt", "x");
    }
    bench::MeasuredAgent agent;
    auto connection = connect(agent);
    const Toolkit toolkits[] = {
        {"GTK 3", {testing::systemPython, testing::gtkDialogProgram(), "open"}},
        {"GTK 4", {testing::systemPython, testing::gtk4DialogProgram(), "open"}},
        {"Qt 6", {testing::qtDialogProgram(), "open"}},
        {"Qt 5", {testing::systemPython, testing::qt5DialogProgram(), "open"}},
    };
    bool measured = true;
    for (const auto& toolkit : toolkits) measured = measure(*connection, desktop, toolkit, folderA, folderB) && measured;
    std::printf("agent resident memory after assistant requests: %.2f MiB (goal: under 32 MiB)\n",
                bench::residentKiB(agent.pid()) / 1024.0);
    return measured ? 0 : 1;
}

}  // namespace
}  // namespace companion

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: dialog_bench AGENT_BINARY\n");
        return 2;
    }
    companion::bench::agentBinary = argv[1];
    return companion::run();
}
