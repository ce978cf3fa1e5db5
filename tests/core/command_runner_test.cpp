#include "core/command_runner.h"
#include "core/tool_run.h"

#include <fcntl.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/dispatch.h"
#include "platform/unique_fd.h"

namespace companion {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Clock = std::chrono::steady_clock;

constexpr const char* shellPath = "/bin/sh";
// Generous: these bounds catch a runner that hangs, not one that is a little slow.
constexpr std::chrono::seconds margin{1};
constexpr std::chrono::seconds promptly{15};

CommandResult shell(const std::string& script, const std::optional<Bytes>& input = std::nullopt,
                    double timeout = 30.0) {
    return runCommand(shellPath, {"-c", script}, input, std::nullopt, timeout);
}

// The same run, carried by the event loop instead of the calling thread.
CommandResult shellOnLoop(dispatch::Dispatcher& dispatcher, const std::string& script,
                          const std::optional<Bytes>& input = std::nullopt, double timeout = 30.0) {
    std::promise<CommandResult> result;
    runCommandOnLoop(*dispatcher.loop(), shellPath, {"-c", script}, input, std::nullopt, timeout,
                     [&result](CommandResult done) { result.set_value(std::move(done)); });
    return result.get_future().get();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The pid that a script printed for a background descendant, which the test must end itself.
void endDescendant(const std::string& printedPid) {
    const int pid = std::stoi(printedPid);
    if (pid > 1) ::kill(pid, SIGTERM);
}

TEST(RunCommand, MissingExecutableIsReportedWithItsPath) {
    const auto result = runCommand("/no/such/tool", {"arg"});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output, "");
    EXPECT_THAT(result.errorOutput, HasSubstr("/no/such/tool"));
}

TEST(RunCommand, StandardInputIsTheNullDeviceOrAPipe) {
    const std::pair<std::optional<Bytes>, const char*> cases[] = {{std::nullopt, "/dev/null\n0\n"},
                                                                  {Bytes{}, "pipe:\\[[0-9]+\\]\n0\n"},
                                                                  {Bytes{'s', 'e', 'c', 0}, "pipe:\\[[0-9]+\\]\n4\n"}};
    for (const auto& [input, expectedPattern] : cases) {
        const auto result = shell("readlink /proc/self/fd/0; wc -c", input);
        EXPECT_EQ(result.status, 0);
        EXPECT_THAT(result.output, MatchesRegex(expectedPattern)) << expectedPattern;
    }
}

const std::string largeText = [] {
    std::string text;
    for (int line = 0; text.size() < 4 * 1024 * 1024; ++line) text += "line " + std::to_string(line) + "\n";
    return text;
}();

// One run, carried by the calling thread or by the event loop: both must give the same.
struct Run {
    const char* name;
    std::string script;
    double timeout;
    std::optional<Bytes> input;
    CommandResult expected;
    bool stoppedAtLimit = false;    // lasts its whole time limit, and hardly longer
    bool printsDescendant = false;  // prints the pid of a descendant that keeps the output open
};

const Run runs[] = {
    {"exitCodeAndErrorText", "printf x >&2; exit 3", 30, std::nullopt, {3, "", "x"}},
    {"invalidUtf8Replaced", "printf 'caf\\303\\251 \\377 ok\\n'", 30, std::nullopt, {0, "caf\u00e9 \uFFFD ok\n", ""}},
    {"terminatedAtTheLimit", "exec sleep 30", 0.5, std::nullopt, {SIGTERM, "", ""}, true},
    {"cleansUpAfterTerminate", "trap 'echo cleaned; exit 9' TERM; echo started; while :; do sleep 0.05; done", 0.5,
     std::nullopt, {9, "started\ncleaned\n", ""}, true},
    // Far beyond any pipe buffer, in both directions at once: a runner that writes all input
    // before reading, or reads one output to its end before the other, deadlocks here.
    {"largeInputAndOutputs", "tee /dev/stderr", 30, Bytes(largeText.begin(), largeText.end()),
     {0, largeText, largeText}},
    {"descendantHoldsTheOutput", "sleep 30 & echo $!", 30, std::nullopt, {0, "", ""}, false, true},
    {"descendantHoldsTheOutputPastTheLimit", "sleep 30 & echo $!; exec sleep 40", 0.5, std::nullopt,
     {SIGTERM, "", ""}, false, true},
};

class RunCommandBothWays : public ::testing::TestWithParam<std::tuple<Run, bool>> {};

TEST_P(RunCommandBothWays, GivesTheResultPromptly) {
    const auto& [run, onLoop] = GetParam();
    dispatch::Dispatcher dispatcher;
    const auto start = Clock::now();
    auto result = onLoop ? shellOnLoop(dispatcher, run.script, run.input, run.timeout)
                         : shell(run.script, run.input, run.timeout);
    const double took = secondsSince(start);
    if (run.printsDescendant) {
        EXPECT_THAT(result.output, MatchesRegex("[0-9]+\n"));
        endDescendant(result.output);
        result.output.clear();
    }
    EXPECT_TRUE(result == run.expected) << result.status << " with " << result.output.size() << " and "
                                        << result.errorOutput.size() << " bytes";
    const auto bound = run.stoppedAtLimit ? std::chrono::duration<double>(margin).count() + run.timeout
                                          : std::chrono::duration<double>(promptly).count();
    EXPECT_LT(took, bound);
    EXPECT_TRUE(!run.stoppedAtLimit || took >= run.timeout) << "ended after " << took << " s";
}

INSTANTIATE_TEST_SUITE_P(Runs, RunCommandBothWays, ::testing::Combine(::testing::ValuesIn(runs), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "OnLoop" : "OnCaller");
                         });

// With SIGPIPE's default action: the runner must survive a closed input pipe by itself, not
// because the test main ignores the signal.
TEST(RunCommand, ToolThatStopsReadingDoesNotEndTheCaller) {
    const auto previous = ::signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(shell("exec head -c 1", Bytes(1024 * 1024, 'a')), (CommandResult{0, "a", ""}));
    ::signal(SIGPIPE, previous);
}

// Even a descriptor opened without close-on-exec stays out of the tool.
TEST(RunCommand, ToolInheritsOnlyItsStandardStreams) {
    UniqueFd leaky(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(leaky.valid());
    // 3 is the directory that ls opens to list itself.
    EXPECT_EQ(runCommand("/bin/ls", {"/proc/self/fd"}), (CommandResult{0, "0\n1\n2\n3\n", ""}));
}

// More runs than the agent allows at once, each ignoring the SIGTERM of its limit: SIGKILL
// follows a grace period later, so their places come back and a run waiting in line is answered
// within its own limit plus that grace.
TEST(RunCommandOnLoop, ToolsThatIgnoreTheirLimitGiveTheirPlaceBack) {
    dispatch::Dispatcher dispatcher;
    constexpr int limit = 64;
    constexpr double hangingLimit = 0.5;
    constexpr double grace = std::chrono::duration<double>(toolKillGrace).count();
    std::atomic<int> killed{0};
    for (int i = 0; i < limit; ++i) {
        runCommandOnLoop(*dispatcher.loop(), shellPath, {"-c", "trap '' TERM; exec sleep 60"}, std::nullopt,
                         std::nullopt, hangingLimit, [&](const CommandResult& result) { killed += result.status == SIGKILL; });
    }
    const auto start = Clock::now();
    const auto git = runCommand("/usr/bin/git", {"--version"}, std::nullopt, std::nullopt, 1);
    EXPECT_EQ(git.status, 0);
    EXPECT_THAT(git.output, HasSubstr("git version"));
    EXPECT_LT(secondsSince(start), hangingLimit + grace + std::chrono::duration<double>(margin).count() + 1);
    const auto deadline = Clock::now() + promptly;
    while (killed < limit && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(killed, limit);
}

// A list of runs none of which can start is answered through the loop, one posted step per run:
// finishing each inline nested one stack frame per run until the loop's thread overflowed.
TEST(RunToolOnLoop, ManyRunsThatCannotStartAreAnsweredWithoutDeepening) {
    dispatch::Dispatcher dispatcher;
    Platform platform;
    platform.dispatcher = &dispatcher;
    constexpr size_t count = 100'000;
    std::promise<std::vector<CommandResult>> results;
    runToolOnLoop(platform, std::vector<ToolRun>(count, ToolRun{"/no/such/tool", {"x"}, std::nullopt, std::nullopt, 60}),
                  [&](std::vector<CommandResult> done) { results.set_value(std::move(done)); });
    auto answered = results.get_future();
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    const auto all = answered.get();
    ASSERT_EQ(all.size(), count);
    EXPECT_EQ(all.back().status, -1);
    EXPECT_THAT(all.back().errorOutput, HasSubstr("/no/such/tool"));
}

#define FFFD "\uFFFD"

// Each maximal invalid subpart becomes one replacement character.
TEST(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
        {"\u00e9\u20ac\U0001F600\U0010FFFF", "\u00e9\u20ac\U0001F600\U0010FFFF"},
        {"a\x80z", "a" FFFD "z"},                   // lone continuation
        {"\x80\xBF", FFFD FFFD},                    // each stray continuation on its own
        {"\xC0\xAF", FFFD FFFD},                    // overlong lead C0
        {"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong three-byte form
        {"\xF0\x80\x80\xAF", FFFD FFFD FFFD FFFD},  // overlong four-byte form
        {"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate D800
        {"\xED\x9F\xBF", "\uD7FF"},                 // last code point before them
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // past U+10FFFF
        {"\xF5\x80", FFFD FFFD},                    // lead that can never start anything
        {"\xE2\x82", FFFD},                         // truncated at the end: one subpart
        {"\xE2\x82\xE2\x82\xAC", FFFD "\u20ac"},    // truncated before a valid sequence
        {"\xF1\x80\x80\xE1\x80\xC2", FFFD FFFD FFFD},  // three subparts in a row
        {"x\xC3(y", "x" FFFD "(y"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(decodeUtf8Lossy(bytes), text) << ::testing::PrintToString(bytes);
}

#undef FFFD

}  // namespace
}  // namespace companion
