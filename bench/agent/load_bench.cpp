// The agent under load, measured from outside as a demanding client would: many idle clients,
// clients that flood large calls without reading, many simultaneous connects, many running
// syncs, many tool runs at once (quick ones and ones that hang). Each figure is printed against
// its goal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
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
#include <functional>
#include <iterator>
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
constexpr int simultaneousConnects = 1000;
constexpr int endingAtOnce = 200;
constexpr int runningSyncs = 50;
constexpr int flooders = 2;
constexpr auto floodTime = std::chrono::seconds(30);
constexpr auto afterFlood = std::chrono::seconds(10);
// Pool threads that found no work retire after this; figures of an idle agent wait it out.
constexpr auto poolRetirement = std::chrono::seconds(6);
// An exclude list just under the 4 MiB a request may be.
constexpr int floodPatterns = 4000;
constexpr size_t floodPatternSize = 1000;
constexpr int gitClients = 200;
constexpr int gitFiles = 3000;
constexpr int sequentialGitRuns = 41;
constexpr int hangingClients = 300;
constexpr auto hangingWatch = std::chrono::seconds(5);
// Short paths for a tool that cannot start: two bytes each, well inside a request's 4 MiB.
constexpr size_t unstartablePaths = 1'000'000;
// The SSH probe's own limit, and what the line of hanging runs takes to drain after it.
constexpr auto probeLimit = std::chrono::seconds(10);
constexpr auto drainAllowance = probeLimit * (hangingClients / 64 + 2);

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
    int peakThreads = 0;
    for (auto& fd : sockets) {
        ::fcntl(fd.get(), F_SETFL, 0);
        if (greetAndHello(fd.get())) ++answered;
        peakThreads = std::max(peakThreads, threadCount(agent.pid()));
    }
    std::printf("%d simultaneous non-blocking connects: %zu accepted, %d refused, %d answered (goal: all)\n",
                simultaneousConnects, sockets.size(), refused, answered);
    std::printf("%d simultaneous greetings: agent threads at most %d (goal: at most 8)\n", simultaneousConnects,
                peakThreads);
    sockets.resize(sockets.size() > endingAtOnce ? sockets.size() - endingAtOnce : 0);
    for (const auto until = Clock::now() + std::chrono::seconds(1); Clock::now() < until;) {
        peakThreads = std::max(peakThreads, threadCount(agent.pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("%d connections ending at once: agent threads at most %d (goal: at most 8)\n", endingAtOnce,
                peakThreads);
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

// Sends every call at once, each on a connection of its own, and returns the raw reply frames
// in order (empty where none came).
std::vector<std::string> callAllAtOnce(const std::string& socket, const std::vector<std::string>& calls,
                                       std::chrono::seconds limit) {
    std::vector<UniqueFd> fds;
    for (const auto& call : calls) {
        fds.push_back(rawConnect(socket));
        ipc::writeAll(fds.back().get(), greeting() + call);
    }
    std::vector<std::string> replies(calls.size());
    std::vector<ipc::FrameReader> readers;
    for (size_t i = 0; i < calls.size(); ++i) readers.emplace_back(ipc::maxReplyFrame);
    size_t done = 0;
    std::vector<int> framesSeen(calls.size(), 0);
    const auto deadline = Clock::now() + limit;
    while (done < calls.size() && Clock::now() < deadline) {
        std::vector<pollfd> entries;
        for (auto& fd : fds) entries.push_back({fd.get(), POLLIN, 0});
        if (::poll(entries.data(), entries.size(), 100) <= 0) continue;
        char buffer[65536];
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!(entries[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = ::read(fds[i].get(), buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].reset();
                ++done;
                continue;
            }
            readers[i].append(buffer, static_cast<size_t>(n));
            for (std::string payload; readers[i].next(payload) == ipc::FrameReader::Status::frame;) {
                // The greeting first, then the reply.
                if (++framesSeen[i] == 2) {
                    replies[i] = payload;
                    fds[i].reset();
                    ++done;
                }
            }
        }
    }
    return replies;
}

std::string makeRepository(const std::string& folder) {
    const std::string repository = folder + "/repository";
    std::filesystem::create_directories(repository + "/src");
    for (int i = 0; i < gitFiles; ++i) std::ofstream(repository + "/src/file" + std::to_string(i)) << i << "\n";
    const std::string setUp = "cd '" + repository + "' && git init -q && git add . && git -c user.name=b -c "
                              "user.email=b@b commit -qm one && echo changed > src/file7 && echo new > untracked";
    [[maybe_unused]] int ignored = std::system(setUp.c_str());
    return repository;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void concurrentGitStatus() {
    const std::string folder = scratchFolder();
    const std::string repository = makeRepository(folder);
    const std::string direct = "cd '" + repository + "' && for i in $(seq " + std::to_string(gitClients) +
                               "); do LC_ALL=C GIT_OPTIONAL_LOCKS=0 git status --porcelain=v1 -z --branch "
                               "--untracked-files=normal > /dev/null & done; wait";
    MeasuredAgent agent;
    agent.waitForSocket();
    const std::vector<std::string> calls(
        gitClients, ipc::encodeFrame(ipc::Call{1, "gitStatusWithRoot:reply:", Json::array({repository})}));
    std::vector<std::string> replies;
    int peakThreads = 0;
    std::atomic<bool> running{true};
    std::thread watcher([&] {
        while (running) {
            peakThreads = std::max(peakThreads, threadCount(agent.pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const double viaAgent = secondsOf([&] { replies = callAllAtOnce(agent.socket(), calls, std::chrono::seconds(120)); });
    running = false;
    watcher.join();
    const double gitsDirectly = secondsOf([&] { [[maybe_unused]] int ignored = std::system(direct.c_str()); });
    const std::string expected = [&] {
        const std::string command = "cd '" + repository + "' && LC_ALL=C git status --porcelain=v1 -z --branch "
                                    "--untracked-files=normal > '" + folder + "/expected'";
        [[maybe_unused]] int ignored = std::system(command.c_str());
        std::ifstream file(folder + "/expected", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }();
    int equal = 0;
    for (const auto& payload : replies) {
        auto message = ipc::decodeMessage(payload);
        const auto* reply = message ? std::get_if<ipc::ReplyMessage>(&*message) : nullptr;
        if (!reply || reply->values.size() != 2 || reply->values[0] != 0) continue;
        const auto& bytes = reply->values[1].get_binary();
        equal += std::string(bytes.begin(), bytes.end()) == expected;
    }
    std::printf("%d concurrent git status (%d files): %d replies byte-equal to git's (goal: all)\n", gitClients,
                gitFiles, equal);
    std::printf("%d concurrent git status: agent threads at most %d (goal: at most 16)\n", gitClients, peakThreads);
    std::printf("%d concurrent git status: wall via agent / %d gits directly %.2f (goal: at most 1.1)\n", gitClients,
                gitClients, viaAgent / gitsDirectly);
    removeFolder(folder);
}

// What the agent runs for a git status, run here directly: spawned, its output read from a pipe,
// waited for. Medians of one run at a time, alternating with the agent, so that both see the
// same cache and the same machine.
bool gitStatusDirectly(const std::string& repository) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe[1], STDOUT_FILENO);
        ::setenv("LC_ALL", "C", 1);
        ::setenv("GIT_OPTIONAL_LOCKS", "0", 1);
        ::execlp("git", "git", "-C", repository.c_str(), "status", "--porcelain=v1", "-z", "--branch",
                 "--untracked-files=normal", nullptr);
        ::_exit(127);
    }
    ::close(pipe[1]);
    char buffer[65536];
    while (::read(pipe[0], buffer, sizeof buffer) > 0) {
    }
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void sequentialGitStatus() {
    const std::string folder = scratchFolder();
    const std::string repository = makeRepository(folder);
    MeasuredAgent agent;
    agent.waitForSocket();
    auto connected = client::ClientConnection::connect(agent.socket());
    auto& connection = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
    std::vector<double> viaAgent, direct;
    for (int i = 0; i < sequentialGitRuns; ++i) {
        viaAgent.push_back(secondsOf([&] { connection.call<service::msg::gitStatusWithRoot>({repository}); }));
        direct.push_back(secondsOf([&] { gitStatusDirectly(repository); }));
    }
    std::printf("one git status (%d files), median of %d: via agent %.2f ms, git directly %.2f ms\n", gitFiles,
                sequentialGitRuns, percentile(viaAgent, 0.5) * 1000, percentile(direct, 0.5) * 1000);
    std::printf("one git status: via agent / git directly median ratio %.3f (goal: at most 1.05)\n",
                percentile(viaAgent, 0.5) / percentile(direct, 0.5));
    removeFolder(folder);
}

// A server that accepts and never speaks: an SSH probe of it hangs until its time limit.
UniqueFd silentServer(int& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), size);
    ::listen(fd.get(), 1024);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

void hangingTools() {
    int port = 0;
    UniqueFd server = silentServer(port);
    MeasuredAgent agent;
    agent.waitForSocket();
    auto connected = client::ClientConnection::connect(agent.socket());
    auto& polite = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
    polite.call<service::msg::helloWithReply>({});
    std::this_thread::sleep_for(poolRetirement);
    const int idleThreads = threadCount(agent.pid());

    std::vector<UniqueFd> clients;
    const std::string probe = ipc::encodeFrame(
        ipc::Call{1, "sshHomeWithHost:user:port:keyFile:reply:", Json::array({"127.0.0.1", "bench", port, ""})});
    for (int i = 0; i < hangingClients; ++i) {
        clients.push_back(rawConnect(agent.socket()));
        ipc::writeAll(clients.back().get(), greeting() + probe);
    }
    int peakThreads = 0;
    int peakTools = 0;
    std::vector<double> roundTrips;
    for (const auto until = Clock::now() + hangingWatch; Clock::now() < until;) {
        const auto start = Clock::now();
        polite.call<service::msg::helloWithReply>({});
        roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        peakThreads = std::max(peakThreads, threadCount(agent.pid()));
        peakTools = std::max(peakTools, childCount(agent.pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    clients.clear();
    const auto drained = Clock::now() + drainAllowance;
    while (childCount(agent.pid()) > 0 && Clock::now() < drained) {
        peakTools = std::max(peakTools, childCount(agent.pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(poolRetirement);
    std::printf("%d requests whose tool hangs: agent threads at most %d (goal: at most 16)\n", hangingClients,
                peakThreads);
    std::printf("%d requests whose tool hangs: tool processes at most %d (goal: at most 64)\n", hangingClients,
                peakTools);
    std::printf("meanwhile, a polite client's greeting round trip p99: %.2f ms (goal: under 50 ms)\n",
                percentile(roundTrips, 0.99));
    std::printf("after the line drained: %d tools left, agent threads %d, idle before %d (goal: none left, as idle)\n",
                childCount(agent.pid()), threadCount(agent.pid()), idleThreads);
}

// One request naming a million paths for a tool that cannot start on this system: every run
// fails to launch and finishes through the loop, while a polite client keeps greeting.
void unstartableTools() {
    MeasuredAgent agent;
    agent.waitForSocket();
    auto connected = client::ClientConnection::connect(agent.socket());
    auto& polite = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
    polite.call<service::msg::helloWithReply>({});
    const std::vector<std::string> calls{ipc::encodeFrame(ipc::Call{
        1, std::string(service::msg::evictFromCloudWithPaths::selector), Json::array({Json(unstartablePaths, "/")})})};
    std::vector<std::string> replies;
    std::atomic<bool> waiting{true};
    std::vector<double> roundTrips;
    long peak = 0;
    std::thread politeClient([&] {
        while (waiting) {
            const auto start = Clock::now();
            polite.call<service::msg::helloWithReply>({});
            roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            peak = std::max(peak, residentKiB(agent.pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const double seconds = secondsOf([&] { replies = callAllAtOnce(agent.socket(), calls, std::chrono::seconds(600)); });
    waiting = false;
    politeClient.join();
    auto message = replies[0].empty() ? std::nullopt : std::optional(ipc::decodeMessage(replies[0]));
    const auto* reply = message && *message ? std::get_if<ipc::ReplyMessage>(&**message) : nullptr;
    std::printf("%zu paths for a tool that cannot start: %s in %.1f s, agent %s (goal: replied, alive)\n",
                unstartablePaths, reply ? "replied" : "NO REPLY", seconds, ::kill(agent.pid(), 0) == 0 ? "alive" : "GONE");
    std::printf("meanwhile, a polite client's greeting round trip p99: %.2f ms over %zu calls (goal: under 50 ms)\n",
                percentile(roundTrips, 0.99), roundTrips.size());
    std::printf("meanwhile, agent peak resident memory %.1f MiB\n", peak / 1024.0);
}

}  // namespace

void loadFigures(const std::function<bool(const char*)>& wanted) {
    if (wanted("syncs")) runningSyncThreads();
    if (wanted("idle-clients")) idleConnections();
    if (wanted("connects")) simultaneousConnections();
    if (wanted("flood")) floodingClients();
    if (wanted("git-status")) concurrentGitStatus();
    if (wanted("git-status")) sequentialGitStatus();
    if (wanted("hanging-tools")) hangingTools();
    if (wanted("unstartable")) unstartableTools();
}

}  // namespace companion::bench
