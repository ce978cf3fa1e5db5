// How soon a mount request is answered once the mount is there: the agent's wait on the kernel's
// notice of a changed mount table, beside a wait that reads the table every 0.2 s. The stand-in
// rclone mounts a tmpfs at once, so the figure is the agent's own delay. Then the same request
// with the machine's own rclone on a local remote, and reading a large file through such a
// mount against reading it directly.
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

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include <fstream>

#include "core/input_checks.h"
#include "platform/unique_fd.h"
#include "core/session.h"
#include "storage/storage_services.h"

namespace {

using namespace companion;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int samples = 25;
constexpr int realSamples = 5;
constexpr const char* machineRclone = "/usr/bin/rclone";
constexpr size_t largeFileMiB = 256;
constexpr size_t mebibyte = 1 << 20;
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

std::shared_ptr<CompanionSession> mountSession(Platform& platform, Services& services) {
    installCoreServices(services);
    storage::installStorageServices(services);
    return std::make_shared<CompanionSession>(std::weak_ptr<ipc::Connection>{}, platform, services);
}

// Asks for a mount and waits for the reply.
nlohmann::json mount(CompanionSession& session, const wire::StringMap& connection, const std::string& mountPoint, bool readOnly) {
    using Mount = service::msg::rcloneMountWithId;
    std::promise<nlohmann::json> replied;
    session.handle(Mount::selector, false, Mount::Args::encode({"bench", connection, mountPoint, "Bench", readOnly}),
                   [&](nlohmann::json reply) { replied.set_value(std::move(reply)); });
    return replied.get_future().get();
}

void stopMount(CompanionSession& session, const Platform& platform, const std::string& mountPoint) {
    session.handle(service::msg::stopRcloneMountWithId::selector, true,
                   service::msg::stopRcloneMountWithId::Args::encode({"bench"}), nullptr);
    waitUntilUnmounted(platform, mountPoint);
}

// Milliseconds from each request to its reply, the mount stopped between two requests.
std::vector<double> requestToReply(Platform& platform, const std::string& home,
                                   const wire::StringMap& connection = {{"kind", "sftp"}, {"host", "127.0.0.1"}},
                                   int count = samples) {
    Services services;
    auto session = mountSession(platform, services);
    const std::string mountPoint = allowedMountRoots(home).front() + "/bench";

    std::vector<double> millis;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const nlohmann::json answer = mount(*session, connection, mountPoint, false);
        if (answer.dump() != R"([true,""])") std::fprintf(stderr, "a mount failed: %s\n", answer.dump().c_str());
        millis.push_back(Millis(Clock::now() - start).count());
        stopMount(*session, platform, mountPoint);
    }
    session->stopAll();
    return millis;
}

// MiB per second of reading `path` whole, once.
double readRate(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 0;
    }
    std::vector<char> buffer(mebibyte);
    size_t total = 0;
    const auto start = Clock::now();
    ssize_t count = 0;
    while ((count = ::read(file.get(), buffer.data(), buffer.size())) > 0) total += static_cast<size_t>(count);
    if (count < 0) std::fprintf(stderr, "reading %s: %s\n", path.c_str(), std::strerror(errno));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(total) / static_cast<double>(mebibyte) / seconds;
}

void writeLargeFile(const std::string& path) {
    std::ofstream file(path, std::ios::binary);
    const std::vector<char> block(mebibyte, 'x');
    for (size_t i = 0; i < largeFileMiB; ++i) file.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// The machine's rclone with a configuration of one local remote over `home`/remote.
void useMachineRclone(Platform& platform, const std::string& home) {
    platform.tools.rcloneAbsoluteCandidates = {machineRclone};
    const std::string config = home + "/rclone.conf";
    std::ofstream(config) << "[loc]\ntype = local\n";
    platform.environment = [config] {
        Environment environment = systemEnvironment();
        environment["RCLONE_CONFIG"] = config;
        return environment;
    };
    std::filesystem::create_directories(home + "/remote");
}

void machineRcloneFigures(Platform& platform, const std::string& home) {
    if (::access(machineRclone, X_OK) != 0) {
        std::printf("mount request to reply with this machine's rclone: skipped (no %s)\n", machineRclone);
        return;
    }
    useMachineRclone(platform, home);
    const wire::StringMap local = {{"kind", "remote"}, {"remote", "loc"}, {"path", home + "/remote"}};
    const double reply = median(requestToReply(platform, home, local, realSamples));
    std::printf("mount request to reply with this machine's rclone, local remote: median %.1f ms of %d (goal: under 1000 ms)\n",
                reply, realSamples);

    const std::string direct = home + "/remote/large";
    writeLargeFile(direct);
    Services services;
    auto session = mountSession(platform, services);
    const std::string mountPoint = allowedMountRoots(home).front() + "/bench";
    const nlohmann::json answer = mount(*session, local, mountPoint, true);
    if (answer.dump() != R"([true,""])") std::fprintf(stderr, "the read-only mount failed: %s\n", answer.dump().c_str());
    readRate(direct);  // both readings find the file in the page cache
    const double directRate = readRate(direct);
    const double mountedRate = readRate(mountPoint + "/large");
    stopMount(*session, platform, mountPoint);
    session->stopAll();
    std::printf("reading %zu MiB directly: %.0f MiB/s\n", largeFileMiB, directRate);
    std::printf("reading %zu MiB through the rclone mount: %.0f MiB/s\n", largeFileMiB, mountedRate);
    std::printf("reading through the mount over reading directly: %.2f (for information)\n", mountedRate / directRate);
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
    platform.waitForMountPoint = Platform::system(dispatcher).waitForMountPoint;
    machineRcloneFigures(platform, home);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
}
