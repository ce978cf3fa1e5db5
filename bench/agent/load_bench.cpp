// The agent under load, measured from outside as a demanding client would: many idle clients,
// clients that flood large calls without reading, many simultaneous connects, many running
// syncs. Each figure is printed against its goal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/agent/agent_measure.h"
#include "client/companion_client.h"
#include "core/agent.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"
#include "storage/storage_services.h"

namespace companion::bench {

namespace {

using Clock = std::chrono::steady_clock;
using ipc::Json;

constexpr int idleClients = 1000;
constexpr int simultaneousConnects = 500;
constexpr int runningSyncs = 50;
constexpr int flooders = 2;
constexpr auto floodTime = std::chrono::seconds(30);
constexpr auto afterFlood = std::chrono::seconds(10);
// Pool threads that found no work retire after this; figures of an idle agent wait it out.
constexpr auto poolRetirement = std::chrono::seconds(6);
// An exclude list just under the 4 MiB a request may be.
constexpr int floodPatterns = 4000;
constexpr size_t floodPatternSize = 1000;

std::string greeting() { return ipc::encodeFrame(ipc::Greeting{std::string(ipc::protocolName), ipc::protocolVersion}); }
std::string hello(uint64_t sequence) {
    return ipc::encodeFrame(ipc::Call{sequence, "helloWithReply:", Json::array()});
}

// Reads until `bytes` have arrived or `limit` passed.
bool readAtLeast(int fd, size_t bytes, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    size_t got = 0;
    char buffer[4096];
    while (got < bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A greeted client that has had one reply: the agent's greeting and the hello reply.
bool greetAndHello(int fd) {
    const size_t replySize = ipc::encodeFrame(ipc::ReplyMessage{1, Json::array({1, COMPANION_VERSION})}).size();
    return ipc::writeAll(fd, greeting() + hello(1)) &&
           readAtLeast(fd, greeting().size() + replySize, std::chrono::seconds(10));
}

UniqueFd rawConnect(const std::string& path) {
    auto connected = ipc::connectEndpoint(path);
    if (auto* fd = std::get_if<UniqueFd>(&connected)) return std::move(*fd);
    return UniqueFd();
}

void idleConnections() {
    MeasuredAgent agent;
    UniqueFd first = agent.waitForSocket();
    greetAndHello(first.get());
    std::this_thread::sleep_for(poolRetirement);
    const long before = residentKiB(agent.pid());

    std::vector<UniqueFd> clients;
    int greeted = 0;
    for (int i = 0; i < idleClients; ++i) {
        clients.push_back(rawConnect(agent.socket()));
        if (clients.back() && greetAndHello(clients.back().get())) ++greeted;
    }
    std::this_thread::sleep_for(poolRetirement);
    const long after = residentKiB(agent.pid());
    std::printf("%d idle clients: %d greeted, agent threads %d (goal: at most 8)\n", idleClients, greeted,
                threadCount(agent.pid()));
    std::printf("%d idle clients: resident memory per connection %.1f KiB (goal: at most 16 KiB)\n", idleClients,
                static_cast<double>(after - before) / idleClients);
}

void simultaneousConnections() {
    MeasuredAgent agent;
    agent.waitForSocket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, agent.socket().c_str());
    std::vector<UniqueFd> sockets;
    int refused = 0;
    for (int i = 0; i < simultaneousConnects; ++i) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            ++refused;
            continue;
        }
        sockets.push_back(std::move(fd));
    }
    int answered = 0;
    for (auto& fd : sockets) {
        ::fcntl(fd.get(), F_SETFL, 0);
        if (greetAndHello(fd.get())) ++answered;
    }
    std::printf("%d simultaneous non-blocking connects: %zu accepted, %d refused, %d answered (goal: all)\n",
                simultaneousConnects, sockets.size(), refused, answered);
}

std::string floodCall(const std::string& source) {
    Json excludes = Json::array();
    for (int i = 0; i < floodPatterns; ++i) excludes.push_back(std::string(floodPatternSize, 'a' + i % 26));
    return ipc::encodeFrame(ipc::Call{1, std::string(service::msg::rcloneSyncWithId::selector),
                                      Json::array({"flood", source, "nowhere:/x", false, false, excludes, nullptr,
                                                   false})});
}

// Sends `frame` again and again for `duration`, never reading.
void flood(const std::string& path, const std::string& frame, Clock::duration duration) {
    UniqueFd fd = rawConnect(path);
    ipc::writeAll(fd.get(), greeting());
    ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    size_t offset = 0;
    for (const auto until = Clock::now() + duration; Clock::now() < until;) {
        const ssize_t n = ::send(fd.get(), frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset = (offset + static_cast<size_t>(n)) % frame.size();
            continue;
        }
        if (n < 0 && errno != EAGAIN) return;
        pollfd entry{fd.get(), POLLOUT, 0};
        ::poll(&entry, 1, 50);
    }
}

void floodingClients() {
    // rclone lists one remote; the flood names another, so each call costs one listing and is
    // refused.
    const std::string folder = scratchFolder();
    std::ofstream(folder + "/rclone.conf") << "[bench]\ntype = local\n";
    ::setenv("RCLONE_CONFIG", (folder + "/rclone.conf").c_str(), 1);
    MeasuredAgent agent;
    agent.waitForSocket();
    auto connected = client::ClientConnection::connect(agent.socket());
    auto& polite = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
    polite.call<service::msg::helloWithReply>({});

    const std::string frame = floodCall(folder);
    std::vector<std::thread> threads;
    for (int i = 0; i < flooders; ++i) threads.emplace_back([&] { flood(agent.socket(), frame, floodTime); });
    long peak = 0;
    std::vector<double> roundTrips;
    for (const auto until = Clock::now() + floodTime; Clock::now() < until;) {
        const auto start = Clock::now();
        polite.call<service::msg::helloWithReply>({});
        roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        peak = std::max(peak, residentKiB(agent.pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& thread : threads) thread.join();
    std::this_thread::sleep_for(afterFlood);
    const long settled = residentKiB(agent.pid());
    std::printf("%d clients flooding %.1f MiB calls for %lld s: agent peak resident memory %.1f MiB (goal: under 64 MiB)\n",
                flooders, frame.size() / 1048576.0, static_cast<long long>(floodTime.count()), peak / 1024.0);
    std::printf("meanwhile, a polite client's greeting round trip p99: %.2f ms over %zu calls (goal: under 50 ms)\n",
                percentile(roundTrips, 0.99), roundTrips.size());
    std::printf("resident memory %lld s after the flooders left: %.1f MiB (goal: under 16 MiB)\n",
                static_cast<long long>(afterFlood.count()), settled / 1024.0);
    ::unsetenv("RCLONE_CONFIG");
    removeFolder(folder);
}

// An agent in a child process of its own, with a stand-in rclone that lists one remote and
// otherwise runs quietly until it is stopped.
pid_t agentWithQuietRclone(const std::string& folder) {
    const std::string rclone = folder + "/rclone";
    std::ofstream(rclone) << "#!/bin/sh\nif [ \"$1\" = listremotes ]; then echo 'bench: local'; exit 0; fi\n"
                             "exec sleep 600\n";
    std::filesystem::permissions(rclone, std::filesystem::perms::owner_all);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    dispatch::Dispatcher dispatcher;
    Platform platform = Platform::system(dispatcher);
    platform.tools.rcloneAbsoluteCandidates = {rclone};
    platform.tools.rcloneHomeCandidates = {};
    Services services;
    installCoreServices(services);
    storage::installStorageServices(services);
    auto started = startAgent(platform, services, folder + "/agent.sock");
    if (!std::holds_alternative<std::shared_ptr<CompanionAgent>>(started)) ::_exit(1);
    dispatcher.main().run();
    ::_exit(0);
}

int childCount(pid_t pid) {
    int children = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream list(task.path() / "children");
        for (pid_t child; list >> child;) ++children;
    }
    return children;
}

void runningSyncThreads() {
    const std::string folder = scratchFolder();
    const pid_t agent = agentWithQuietRclone(folder);
    UniqueFd fd;
    for (int i = 0; i < 2000 && !fd; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        fd = rawConnect(folder + "/agent.sock");
    std::string calls = greeting();
    for (int i = 0; i < runningSyncs; ++i) {
        const Json id = std::to_string(i);
        calls += ipc::encodeFrame(ipc::Call{static_cast<uint64_t>(i), std::string(service::msg::rcloneSyncWithId::selector),
                                            Json::array({id, folder, "bench:/dst", false, false, Json::array(), nullptr,
                                                         false})});
    }
    ipc::writeAll(fd.get(), calls);
    for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;) {
        if (childCount(agent) >= runningSyncs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(poolRetirement);
    std::printf("%d running syncs (%d rclone processes): agent threads %d (goal: at most 8 plus the work in progress)\n",
                runningSyncs, childCount(agent), threadCount(agent));
    fd.reset();  // the connection's end stops every sync
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("1 s after the connection ended: %d rclone processes left (goal: none)\n", childCount(agent));
    ::kill(agent, SIGKILL);
    ::waitpid(agent, nullptr, 0);
    removeFolder(folder);
}

}  // namespace

void loadFigures(const std::function<bool(const char*)>& wanted) {
    if (wanted("syncs")) runningSyncThreads();
    if (wanted("idle-clients")) idleConnections();
    if (wanted("connects")) simultaneousConnections();
    if (wanted("flood")) floodingClients();
}

}  // namespace companion::bench
