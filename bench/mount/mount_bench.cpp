// How soon a mount request is answered once the mount is there: the agent's wait on the kernel's
// notice of a changed mount table, beside a wait that reads the table every 0.2 s. The stand-in
// rclone mounts a tmpfs at once, so the figure is the agent's own delay.
//
// Needs root: it mounts, in a private mount namespace of its own so that nothing reaches this
// machine's mount table.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/input_checks.h"
#include "core/session.h"
#include "storage/storage_services.h"

namespace {

using namespace companion;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int samples = 25;
constexpr auto settleLimit = std::chrono::seconds(10);

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool enterPrivateMountNamespace() {
    if (::geteuid() != 0) return false;
    if (::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

void waitUntilUnmounted(const Platform& platform, const std::string& mountPoint) {
    const auto deadline = Clock::now() + settleLimit;
    while (platform.mountTable().contains(mountPoint) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Milliseconds from each request to its reply, the mount stopped between two requests.
std::vector<double> requestToReply(Platform& platform, const std::string& home) {
    Services services;
    installCoreServices(services);
    storage::installStorageServices(services);
    auto session = std::make_shared<CompanionSession>(std::weak_ptr<ipc::Connection>{}, platform, services);
    const std::string mountPoint = allowedMountRoots(home).front() + "/bench";
    const wire::StringMap sftp = {{"kind", "sftp"}, {"host", "127.0.0.1"}};
    using Mount = service::msg::rcloneMountWithId;

    std::vector<double> millis;
    for (int i = 0; i < samples; ++i) {
        std::promise<void> replied;
        const auto start = Clock::now();
        session->handle(Mount::selector, false, Mount::Args::encode({"bench", sftp, mountPoint, "Bench", false}),
                        [&](nlohmann::json) { replied.set_value(); });
        replied.get_future().wait();
        millis.push_back(Millis(Clock::now() - start).count());
        session->handle(service::msg::stopRcloneMountWithId::selector, true,
                        service::msg::stopRcloneMountWithId::Args::encode({"bench"}), nullptr);
        waitUntilUnmounted(platform, mountPoint);
    }
    session->stopAll();
    return millis;
}

}  // namespace

int main() {
    if (!enterPrivateMountNamespace()) {
        std::printf("mount request to reply: skipped (needs root to mount in a private namespace)\n");
        return 0;
    }
    char pattern[] = "/tmp/companion-mount-bench-XXXXXX";
    const std::string home = ::mkdtemp(pattern);

    dispatch::Dispatcher dispatcher;
    Platform platform = Platform::system(dispatcher);
    platform.homeDirectory = [home] { return home; };
    platform.tools.rcloneAbsoluteCandidates = {COMPANION_BENCH_MOUNT_STANDIN};
    platform.tools.rcloneHomeCandidates = {};
    platform.exitProcess = [](int) {};

    const double notice = median(requestToReply(platform, home));
    platform.waitForMountPoint = [](const std::string& mountPoint, int processFd, mounts::Clock::time_point deadline) {
        return mounts::pollForMountPoint(mountPoint, processFd, deadline, systemMountTable, mounts::mountPollInterval);
    };
    const double polling = median(requestToReply(platform, home));

    std::printf("mount request to reply, waiting on the kernel's notice: median %.2f ms of %d (goal: under 15 ms)\n",
                notice, samples);
    std::printf("mount request to reply, reading the table every 0.2 s: median %.2f ms of %d\n", polling, samples);
    std::printf("mount request to reply, polling over notice: %.1f times\n", polling / notice);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
}
