#include "platform/process/process.h"

#include "platform/dispatch/event_loop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace companion::process {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using Kind = Termination::Kind;

constexpr const char* shellPath = "/bin/sh";
constexpr const char* sleepPath = "/bin/sleep";
constexpr std::chrono::seconds patience{10};

Process launchOrFail(const LaunchOptions& options) {
    auto launched = Process::launch(options);
    if (auto* failure = std::get_if<std::string>(&launched)) throw std::runtime_error(*failure);
    return std::move(std::get<Process>(launched));
}

Process shell(const std::string& script) {
    return launchOrFail({.executable = shellPath, .arguments = {"-c", script}});
}

Process sleeper() { return launchOrFail({.executable = sleepPath, .arguments = {"30"}}); }

std::string readAll(UniqueFd& fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t count; (count = ::read(fd.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, count);
    return text;
}

TEST(Process, LaunchFailureNamesTheFileAndTheReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/no/such/tool", "No such file or directory"}, {"/etc/passwd", "Permission denied"}, {"bin/sh", "not absolute"}};
    for (const auto& [executable, reason] : cases) {
        SCOPED_TRACE(executable);
        auto launched = Process::launch({.executable = executable});
        ASSERT_TRUE(std::holds_alternative<std::string>(launched));
        EXPECT_THAT(std::get<std::string>(launched), AllOf(HasSubstr(executable), HasSubstr(reason)));
    }
}

TEST(Process, WaitIsIdempotentAndSignalsAfterTheEndAreHarmless) {
    Process child = shell("exit 4");
    const Termination first = child.wait();
    child.terminate();
    child.signal(SIGKILL);
    EXPECT_FALSE(child.isRunning());
    EXPECT_EQ(child.wait(), first);
    EXPECT_EQ(child.waitFor(std::chrono::milliseconds(0)), first);
    EXPECT_EQ(first.status(), 4);
}

// One signal set ("SigBlk", "SigIgn") from the text of /proc/<pid>/status.
unsigned long long signalSet(const std::string& status, const std::string& name) {
    const auto start = status.find(name + ":\t");
    if (start == std::string::npos) return ~0ULL;
    return std::stoull(status.substr(start + name.size() + 2), nullptr, 16);
}

// This process ignores SIGPIPE and the thread blocks a signal; the child must see neither.
TEST(Process, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    sigset_t usr1;
    sigset_t previous;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &previous);
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);

    Process child =
        launchOrFail({.executable = "/bin/cat", .arguments = {"/proc/self/status"}, .output = Stream::pipe});
    const std::string status = readAll(child.outputPipe());
    child.wait();

    sigaction(SIGPIPE, &before, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(signalSet(status, "SigBlk"), 0u);
    // Only the classic signals: the C library keeps two real-time signals of its own ignored
    // in every child it spawns, and every program's C library takes them back at start.
    constexpr unsigned long long classicSignals = (1ULL << 31) - 1;
    EXPECT_EQ(signalSet(status, "SigIgn") & classicSignals, 0u);
}

// A reaped child makes waitid on a duplicate of its pidfd fail with ECHILD.
bool reaped(const UniqueFd& pidFd) {
    siginfo_t info{};
    return waitid(P_PIDFD, pidFd.get(), &info, WEXITED | WNOHANG) != 0 && errno == ECHILD;
}

TEST(Process, DestructorEndsAndReapsARunningChild) {
    for (const char* script : {"exec /bin/sleep 30", "trap '' TERM; exec /bin/sleep 30"}) {
        SCOPED_TRACE(script);
        UniqueFd watch;
        {
            Process child = shell(script);
            watch.reset(fcntl(child.pidFd(), F_DUPFD_CLOEXEC, 0));
            // Let the shell install any trap before the destructor's SIGTERM.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        EXPECT_TRUE(reaped(watch));
    }
}

TEST(SharedProcess, EveryWaiterSeesTheTerminationFromAnyThread) {
    SharedProcess shared(sleeper());
    std::vector<std::future<Termination>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::async(std::launch::async, [copy = shared]() mutable { return copy.wait(); }));
    }
    std::thread([copy = shared] { copy.terminate(); }).join();
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(patience), std::future_status::ready);
        EXPECT_EQ(waiter.get(), (Termination{Kind::signalled, SIGTERM}));
    }
    EXPECT_FALSE(shared.isRunning());
    shared.terminate();  // after the reap: must reach nobody
    EXPECT_EQ(shared.wait().status(), SIGTERM);
}

TEST(SharedProcess, NoticesArriveAfterTheLastHandleGoesRunInOrderAndLateOnesRunAtOnce) {
    dispatch::EventLoop loop;
    loop.start();
    std::promise<Termination> ended;
    auto notice = ended.get_future();
    {
        SharedProcess shared(shell("sleep 0.2; exit 5"));
        shared.onExit(loop, [&](Termination termination) { ended.set_value(termination); });
    }
    // Dropping the last handle must neither terminate the child nor lose the notice.
    ASSERT_EQ(notice.wait_for(patience), std::future_status::ready);
    EXPECT_EQ(notice.get(), (Termination{Kind::exited, 5}));

    SharedProcess shared(sleeper());
    std::vector<int> order;
    std::promise<void> secondRan;
    shared.onExit(loop, [&](Termination) { order.push_back(1); });
    shared.onExit(loop, [&](Termination) {
        order.push_back(2);
        secondRan.set_value();
    });
    shared.terminate();
    ASSERT_EQ(secondRan.get_future().wait_for(patience), std::future_status::ready);

    bool lateRanHere = false;
    shared.onExit(loop, [&](Termination termination) { lateRanHere = termination.status() == SIGTERM; });
    EXPECT_TRUE(lateRanHere);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace companion::process
