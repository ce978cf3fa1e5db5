// The listener and its event loop over real sockets: connections carried without a thread each,
// time limits on frames, the byte budget, and a socket handed over by the service manager.

#include "platform/ipc/listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <future>
#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "support/eventually.h"
#include "support/files.h"
#include "support/raw_client.h"
#include "support/session_fixture.h"

namespace companion::ipc {
namespace {

using namespace std::chrono_literals;
// Generous: bounds waits for things that take milliseconds, so a fault fails instead of hanging.
constexpr auto patience = 10s;

std::string callFrame(uint64_t sequence, Json arguments = Json::array()) {
    return encodeFrame(Call{sequence, "echo:", std::move(arguments)});
}

int threadCount() {
    for (const std::string& line : testing::readLines("/proc/self/status"))
        if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
    return -1;
}

using testing::eventually;
using testing::RawClient;

class ListenerTest : public ::testing::Test {
protected:
    void start(ConnectionLimits limits = {}) {
        auto created = Listener::create(path(), dispatcher);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Listener>>(created));
        listener = std::move(std::get<std::unique_ptr<Listener>>(created));
        serve(limits);
    }
    void serve(ConnectionLimits limits) {
        listener->setLimits(limits);
        listener->setDelegate([this](const std::shared_ptr<ServerConnection>& connection) {
            connection->setExportedHandler([this](const std::string&, bool, const Json& arguments, auto reply) {
                if (gate.valid()) gate.wait();
                reply(arguments);
                return true;
            });
            connection->resume();
            if (!admittedOne.exchange(true)) admittedConnection.set_value(connection);
            return true;
        });
        listener->resume();
    }
    void TearDown() override {
        if (listener) listener->stop();
    }
    std::string path() const { return folder.str() + "/agent.sock"; }

    testing::TempDir folder;
    dispatch::Dispatcher dispatcher;
    std::unique_ptr<Listener> listener;
    std::shared_future<void> gate;  // when set, handlers wait for it
    std::promise<std::shared_ptr<ServerConnection>> admittedConnection;  // the first one
    std::future<std::shared_ptr<ServerConnection>> admitted = admittedConnection.get_future();
    std::atomic<bool> admittedOne{false};
};

TEST_F(ListenerTest, ManyConnectionsCostNoThreadEach) {
    start();
    RawClient first(path());
    ASSERT_TRUE(first.greet() && first.roundTrip(1, callFrame(1)));
    std::this_thread::sleep_for(100ms);
    const int threadsBefore = threadCount();

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<RawClient>(path()));
        ASSERT_TRUE(clients.back()->greet());
    }
    EXPECT_EQ(listener->connectionCount(), 201u);
    // The pool may grow for work in progress, never by one thread per connection.
    EXPECT_LT(threadCount(), threadsBefore + 8);
    EXPECT_TRUE(clients.back()->roundTrip(2, callFrame(2)));
}

TEST_F(ListenerTest, AStalledHalfFrameIsEndedAndAnIdleConnectionIsNot) {
    start({.frameTimeLimit = 300ms});
    RawClient idle(path());
    RawClient stalled(path());
    ASSERT_TRUE(idle.greet() && stalled.greet());

    const std::string frame = callFrame(1);
    ASSERT_TRUE(stalled.send(frame.substr(0, frame.size() / 2)));

    EXPECT_TRUE(stalled.closedWithin(patience));
    // Idle for three times the limit with no frame begun: still served.
    std::this_thread::sleep_for(900ms);
    EXPECT_TRUE(idle.roundTrip(2, callFrame(2)));
}

TEST_F(ListenerTest, AFloodingClientWaitsInItsOwnSocketWithinTheBudget) {
    const ConnectionLimits limits{.connectionBudget = 1u << 20};
    std::promise<void> open;
    gate = open.get_future().share();
    start(limits);
    RawClient flooder(path());
    RawClient other(path());
    ASSERT_TRUE(flooder.greet() && other.greet());

    // Calls of 64 KiB that are never handled while the gate is shut, written until the socket
    // takes no more.
    const std::string frame = callFrame(1, Json::array({std::string(64 << 10, 'x')}));
    setNonBlocking(flooder.fd());
    size_t sent = 0;
    size_t peak = 0;
    for (auto until = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < until;) {
        const size_t offset = sent % frame.size();
        const ssize_t n = ::send(flooder.fd(), frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
        peak = std::max(peak, listener->heldBytes());
        if (n < 0) std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(sent, limits.connectionBudget + frame.size()) << "the flood should outrun the budget";
    // One read's worth past the budget at most.
    EXPECT_LE(peak, limits.connectionBudget + (64u << 10) + frame.size());

    open.set_value();
    eventually([&] {
        char drain[65536];
        while (::recv(flooder.fd(), drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        return listener->heldBytes() == 0;
    }, patience);
    EXPECT_TRUE(other.roundTrip(2, callFrame(2)));
}

TEST_F(ListenerTest, ACallbackStreamIsPacedByItsReader) {
    start({.connectionBudget = 1u << 20});
    RawClient slow(path());
    ASSERT_TRUE(slow.greet());
    auto connection = admitted.get();

    const std::string frame = encodeFrame(OneWay{"line:", Json::array({std::string(64 << 10, 'x')})});
    constexpr int frames = 100;  // six times the budget
    std::atomic<int> sent{0};
    std::thread producer([&] {
        for (int i = 0; i < frames; ++i, ++sent) {
            connection->sendFrames(frame);
            if (!connection->isBehind()) continue;
            std::promise<void> caughtUp;
            connection->whenCaughtUp([&] { caughtUp.set_value(); });
            caughtUp.get_future().wait();
        }
    });
    std::this_thread::sleep_for(300ms);
    // The budget, plus what the socket itself holds, plus the frame in hand.
    EXPECT_LT(sent.load(), frames / 2) << "the producer was never made to wait";

    int received = 0;
    while (received < frames && slow.receive()) ++received;
    producer.join();
    EXPECT_EQ(received, frames);
}

TEST_F(ListenerTest, AHandedOverSocketIsServedAndLeftAsItWas) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path().c_str());
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(socket.get(), SOMAXCONN), 0);
    struct stat before{};
    ASSERT_EQ(::stat(path().c_str(), &before), 0);

    listener = Listener::adopt(std::move(socket), dispatcher);
    serve({});
    RawClient client(path());
    EXPECT_TRUE(client.greet() && client.roundTrip(1, callFrame(1)));
    listener->stop();
    listener.reset();

    struct stat after{};
    ASSERT_EQ(::stat(path().c_str(), &after), 0) << "the socket file belongs to whoever bound it";
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(std::filesystem::exists(path() + ".lock"));
}

}  // namespace
}  // namespace companion::ipc
