// Whole-process figures of the agent: greeting latency against a bare socket ping-pong, many
// concurrent clients, start-up time, and what an idle agent costs. One figure a line.

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/companion_client.h"
#include "platform/ipc/endpoint.h"
#include "platform/ipc/wire.h"
#include "bench/agent/agent_measure.h"
#include "service/identity.h"

namespace {

using namespace companion;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr int latencySamples = 20000;
constexpr int warmUp = 2000;
constexpr int concurrentClients = 32;
constexpr int greetingsPerClient = 1000;
constexpr int startUpRuns = 15;
constexpr int idleSeconds = 10;

using bench::agentBinary;
using bench::percentile;
using bench::residentKiB;

// The agent binary, with a client once it listens.
class Agent : public bench::MeasuredAgent {
public:
    std::unique_ptr<client::ClientConnection> connectWhenReady() const {
        waitForSocket();
        for (;;) {
            auto connected = client::ClientConnection::connect(socket());
            if (auto* c = std::get_if<std::unique_ptr<client::ClientConnection>>(&connected)) return std::move(*c);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
};

// The median round trip of `exchange`, after a warm-up.
double medianRoundTrip(const std::function<bool()>& exchange, double* p99 = nullptr) {
    std::vector<double> samples;
    samples.reserve(latencySamples);
    for (int i = 0; i < warmUp + latencySamples; ++i) {
        auto start = Clock::now();
        if (!exchange()) return -1;
        if (i >= warmUp) samples.push_back(Micros(Clock::now() - start).count());
    }
    if (p99) *p99 = percentile(samples, 0.99);
    return percentile(samples, 0.5);
}

// Reads exactly `answer.size()` bytes.
bool readExactly(int fd, std::string& answer) {
    for (size_t got = 0; got < answer.size();) {
        const ssize_t n = ::read(fd, answer.data() + got, answer.size() - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The next whole frame from `fd`, through the protocol's own frame reader.
bool readFrame(int fd, ipc::FrameReader& frames, std::string& payload) {
    char chunk[4096];
    while (frames.next(payload) != ipc::FrameReader::Status::frame) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        frames.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

// Three round trips of the same size: the client library's (its reader thread hands each reply
// to the caller), a bare client's that reads its own reply, and the baseline, frames bounced over
// a bare Unix socket by a thread.
void greetingLatency() {
    Agent agent;
    auto connection = agent.connectWhenReady();
    double p99 = 0;
    const double library = medianRoundTrip([&] { return connection->call<service::msg::helloWithReply>({}).has_value(); }, &p99);
    std::printf("helloWithReply round trip through the client library, median: %.1f us, p99: %.1f us\n", library, p99);

    const std::string request = ipc::encodeFrame(ipc::Call{1, "helloWithReply:", nlohmann::json::array()});
    const std::string greeting = ipc::encodeFrame(ipc::Greeting{std::string(ipc::protocolName), ipc::protocolVersion});
    UniqueFd bare = agent.waitForSocket();
    ipc::FrameReader frames(ipc::maxReplyFrame);
    std::string answer;
    if (!ipc::writeAll(bare.get(), greeting) || !readFrame(bare.get(), frames, answer)) {
        std::printf("greeting latency: FAILED (no greeting)\n");
        return;
    }
    const double median = medianRoundTrip([&] { return ipc::writeAll(bare.get(), request) && readFrame(bare.get(), frames, answer); });
    std::printf("helloWithReply round trip, bare client, median: %.1f us\n", median);

    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    std::thread echo([fd = pair[1], size = request.size()] {
        std::string buffer(size, '\0');
        while (readExactly(fd, buffer) && ipc::writeAll(fd, buffer)) {
        }
    });
    answer.assign(request.size(), '\0');
    const double base = medianRoundTrip([&] { return ipc::writeAll(pair[0], request) && readExactly(pair[0], answer); });
    ::close(pair[0]);
    echo.join();
    ::close(pair[1]);
    std::printf("unix socket ping-pong median (baseline): %.1f us\n", base);
    std::printf("greeting / ping-pong median ratio: %.2f (goal: at most 2)\n", library / base);
    std::printf("greeting / ping-pong median ratio, bare client: %.2f\n", median / base);
}

void concurrentGreetings() {
    Agent agent;
    std::vector<std::unique_ptr<client::ClientConnection>> connections;
    for (int i = 0; i < concurrentClients; ++i) connections.push_back(agent.connectWhenReady());
    std::atomic<long> replies{0}, wrong{0};
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& connection : connections) {
        threads.emplace_back([&, c = connection.get()] {
            for (int i = 0; i < greetingsPerClient; ++i) {
                auto reply = c->call<service::msg::helloWithReply>({});
                if (reply && std::get<0>(*reply) == 1)
                    ++replies;
                else
                    ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%d clients x %d greetings: %ld replies, %ld missing or wrong\n", concurrentClients,
                greetingsPerClient, replies.load(), wrong.load());
    std::printf("concurrent greeting throughput: %.0f replies/s\n", replies.load() / seconds);
}

void startUp() {
    std::vector<double> samples;
    for (int i = 0; i < startUpRuns; ++i) {
        Agent agent;
        auto connection = agent.connectWhenReady();
        auto reply = connection->call<service::msg::helloWithReply>({});
        if (reply) samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - agent.started()).count());
    }
    std::printf("start-up, exec to first reply, median of %d: %.1f ms (goal: under 20 ms)\n", startUpRuns,
                percentile(samples, 0.5));
}

long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

void idleAgent() {
    Agent agent;
    {
        auto connection = agent.connectWhenReady();
        connection->call<service::msg::helloWithReply>({});
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long before = cpuTicks(agent.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    long after = cpuTicks(agent.pid());
    std::printf("idle agent resident memory: %.2f MiB (goal: under 8 MiB)\n", residentKiB(agent.pid()) / 1024.0);
    std::printf("idle agent CPU over %d s: %.0f ms (goal: none)\n", idleSeconds,
                (after - before) * 1000.0 / ::sysconf(_SC_CLK_TCK));
}

}  // namespace

namespace companion::bench {
void syncStream();
void loadFigures(const std::function<bool(const char*)>& wanted);
}

int main(int argc, char** argv) {
    agentBinary = argc > 1 ? argv[1] : "build-bench/bin/tavro-companion";
    // Clients by the thousand need descriptors by the thousand, here and in the agent.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    // A second argument picks one part: latency, concurrency, startup, idle, stream, syncs,
    // idle-clients, connects, flood, git-status, hanging-tools or unstartable.
    const std::string only = argc > 2 ? argv[2] : "";
    auto wanted = [&](const char* part) { return only.empty() || only == part; };
    if (wanted("latency")) greetingLatency();
    if (wanted("concurrency")) concurrentGreetings();
    if (wanted("startup")) startUp();
    if (wanted("idle")) idleAgent();
    if (wanted("stream")) companion::bench::syncStream();
    companion::bench::loadFigures(wanted);
}
