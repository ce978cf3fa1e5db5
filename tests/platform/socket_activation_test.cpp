// Taking over the endpoint a service manager hands to the agent.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/ipc/endpoint.h"
#include "platform/ipc/socket_activation.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using ipc::adoptHandedOverSocket;
using ipc::NoHandedOverSocket;

const std::string me = std::to_string(::getpid());

TEST(SocketActivation, WithoutBothVariablesOrForAnotherProcessNothingIsTaken) {
    EXPECT_TRUE(std::holds_alternative<NoHandedOverSocket>(adoptHandedOverSocket(std::nullopt, "1", ::getpid())));
    EXPECT_TRUE(std::holds_alternative<NoHandedOverSocket>(adoptHandedOverSocket(me, std::nullopt, ::getpid())));
    EXPECT_TRUE(std::holds_alternative<NoHandedOverSocket>(adoptHandedOverSocket("1", "1", ::getpid())));
    EXPECT_TRUE(std::holds_alternative<NoHandedOverSocket>(adoptHandedOverSocket(me + "x", "1", ::getpid())));
    EXPECT_TRUE(std::holds_alternative<NoHandedOverSocket>(adoptHandedOverSocket(me, "0", ::getpid())));
}

TEST(SocketActivation, AListeningLocalStreamSocketIsTakenCloseOnExec) {
    TempDir folder;
    auto bound = ipc::bindEndpoint(folder.str() + "/endpoint");
    ASSERT_TRUE(std::holds_alternative<ipc::BoundEndpoint>(bound));
    int descriptor = std::get<ipc::BoundEndpoint>(bound).socket.release();
    ::fcntl(descriptor, F_SETFD, 0);
    auto taken = adoptHandedOverSocket(me, "1", ::getpid(), descriptor);
    ASSERT_TRUE(std::holds_alternative<UniqueFd>(taken));
    EXPECT_EQ(std::get<UniqueFd>(taken).get(), descriptor);
    EXPECT_EQ(::fcntl(descriptor, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(SocketActivation, AnythingElseIsRefusedWithItsReason) {
    UniqueFd unbound(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    UniqueFd datagram(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    // The descriptor, the count handed over, the reason given.
    const std::tuple<int, const char*, std::string> cases[] = {
        {unbound.get(), "1", "is not listening"},
        {datagram.get(), "1", "is not a local stream socket"},
        {readEnd.get(), "1", "is not a socket"},
        {1000, "1", "is not open"},
        {unbound.get(), "2", "handed over 2 sockets"},
    };
    for (const auto& [descriptor, count, reason] : cases) {
        auto taken = adoptHandedOverSocket(me, count, ::getpid(), descriptor);
        ASSERT_TRUE(std::holds_alternative<std::string>(taken)) << reason;
        EXPECT_NE(std::get<std::string>(taken).find(reason), std::string::npos) << std::get<std::string>(taken);
    }
}

}  // namespace
}  // namespace companion::testing
