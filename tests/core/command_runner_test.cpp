#include "core/command_runner.h"

#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/process/unique_fd.h"

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

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The pid that a script printed for a background descendant, which the test must end itself.
void endDescendant(const std::string& printedPid) {
    const int pid = std::stoi(printedPid);
    if (pid > 1) ::kill(pid, SIGTERM);
}

TEST(RunCommand, FailingToolGivesItsExitCodeAndErrorText) {
    EXPECT_EQ(shell("printf x >&2; exit 3"), (CommandResult{3, "", "x"}));
}

TEST(RunCommand, OutputIsKeptUntrimmedAndArgumentsArriveUnquoted) {
    const auto result = runCommand("/usr/bin/printf", {"[%s]\\n", "two words", "$HOME", "'q'"});
    EXPECT_EQ(result, (CommandResult{0, "[two words]\n[$HOME]\n['q']\n", ""}));
}

TEST(RunCommand, TimeLimitSendsTerminate) {
    const auto start = Clock::now();
    const auto result = runCommand("/bin/sleep", {"30"}, std::nullopt, std::nullopt, 0.5);
    EXPECT_EQ(result.status, SIGTERM);
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_LT(secondsSince(start), 0.5 + std::chrono::duration<double>(margin).count());
}

TEST(RunCommand, ToolMayCleanUpAfterTerminateAndItsOutputIsKept) {
    const auto result = shell("trap 'echo cleaned; exit 9' TERM; echo started; while :; do sleep 0.05; done",
                              std::nullopt, 0.5);
    EXPECT_EQ(result, (CommandResult{9, "started\ncleaned\n", ""}));
}

TEST(RunCommand, MissingExecutableIsReportedWithItsPath) {
    const auto result = runCommand("/no/such/tool", {"arg"});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output, "");
    EXPECT_THAT(result.errorOutput, HasSubstr("/no/such/tool"));
}

struct StandardInputCase {
    const char* name;
    std::optional<Bytes> input;
    const char* expectedPattern;
};

class RunCommandInput : public ::testing::TestWithParam<StandardInputCase> {};

TEST_P(RunCommandInput, ChoosesNullDeviceOrPipe) {
    const auto result = shell("readlink /proc/self/fd/0; wc -c", GetParam().input);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.output, MatchesRegex(GetParam().expectedPattern));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RunCommandInput,
    ::testing::Values(StandardInputCase{"absent", std::nullopt, "/dev/null\n0\n"},
                      StandardInputCase{"empty", Bytes{}, "pipe:\\[[0-9]+\\]\n0\n"},
                      StandardInputCase{"password", Bytes{'s', 'e', 'c', 0}, "pipe:\\[[0-9]+\\]\n4\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Far beyond any pipe buffer, in both directions at once: a runner that writes all input before
// reading, or reads one output to its end before the other, deadlocks here.
TEST(RunCommand, LargeInputAndOutputsDoNotDeadlock) {
    std::string text;
    for (int line = 0; text.size() < 4 * 1024 * 1024; ++line) text += "line " + std::to_string(line) + "\n";
    const Bytes input(text.begin(), text.end());
    const auto result = shell("tee /dev/stderr", input);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output == text) << "output of " << result.output.size() << " bytes differs";
    EXPECT_TRUE(result.errorOutput == text)
        << "error output of " << result.errorOutput.size() << " bytes differs";
}

// Restores SIGPIPE's default action for one test: the runner must survive a closed input pipe
// by itself, not because the test main ignores the signal.
class DefaultSigpipe {
public:
    DefaultSigpipe() {
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &byDefault, &previous_);
    }
    ~DefaultSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }
    DefaultSigpipe(const DefaultSigpipe&) = delete;
    DefaultSigpipe& operator=(const DefaultSigpipe&) = delete;

private:
    struct sigaction previous_ {};
};

TEST(RunCommand, ToolThatStopsReadingDoesNotEndTheCaller) {
    DefaultSigpipe sigpipe;
    const Bytes input(1024 * 1024, 'a');
    EXPECT_EQ(shell("exec head -c 1", input), (CommandResult{0, "a", ""}));
}

TEST(RunCommand, InvalidUtf8IsReplacedAndTheTextAroundKept) {
    const auto result = runCommand("/usr/bin/printf", {"caf\\303\\251 \\377 ok\\n"});
    EXPECT_EQ(result.output, "caf\u00e9 \uFFFD ok\n");
}

TEST(RunCommand, GivenEnvironmentIsTheWholeEnvironment) {
    const auto result = runCommand("/usr/bin/env", {}, std::nullopt, Environment{{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(result, (CommandResult{0, "PATH=/usr/bin:/bin\n", ""}));
}

TEST(RunCommand, DescendantHoldingTheOutputDoesNotHoldTheCaller) {
    const auto start = Clock::now();
    const auto result = shell("sleep 30 & echo $!");
    endDescendant(result.output);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.output, MatchesRegex("[0-9]+\n"));
    EXPECT_LT(secondsSince(start), std::chrono::duration<double>(promptly).count());
}

TEST(RunCommand, DescendantHoldingTheOutputAfterTheTimeLimitDoesNotHoldTheCaller) {
    const auto start = Clock::now();
    const auto result = shell("sleep 30 & echo $!; exec sleep 40", std::nullopt, 0.5);
    endDescendant(result.output);
    EXPECT_EQ(result.status, SIGTERM);
    EXPECT_LT(secondsSince(start), std::chrono::duration<double>(promptly).count());
}

// Even a descriptor opened without close-on-exec stays out of the tool.
TEST(RunCommand, ToolInheritsOnlyItsStandardStreams) {
    UniqueFd leaky(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(leaky.valid());
    // 3 is the directory that ls opens to list itself.
    EXPECT_EQ(runCommand("/bin/ls", {"/proc/self/fd"}), (CommandResult{0, "0\n1\n2\n3\n", ""}));
}

struct DecodeCase {
    std::string bytes;
    std::string text;
};

class DecodeUtf8Lossy : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    EXPECT_EQ(decodeUtf8Lossy(GetParam().bytes), GetParam().text);
}

#define FFFD "\uFFFD"

INSTANTIATE_TEST_SUITE_P(
    Sequences, DecodeUtf8Lossy,
    ::testing::Values(
        DecodeCase{"", ""},
        DecodeCase{std::string("nul\0in", 6), std::string("nul\0in", 6)},
        DecodeCase{"\u00e9\u20ac\U0001F600\U0010FFFF", "\u00e9\u20ac\U0001F600\U0010FFFF"},
        DecodeCase{"a\x80z", "a" FFFD "z"},                   // lone continuation
        DecodeCase{"\x80\xBF", FFFD FFFD},                    // each stray continuation on its own
        DecodeCase{"\xC0\xAF", FFFD FFFD},                    // overlong lead C0
        DecodeCase{"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong three-byte form
        DecodeCase{"\xF0\x80\x80\xAF", FFFD FFFD FFFD FFFD},  // overlong four-byte form
        DecodeCase{"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate D800
        DecodeCase{"\xED\x9F\xBF", "\uD7FF"},                 // last code point before them
        DecodeCase{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // past U+10FFFF
        DecodeCase{"\xF5\x80", FFFD FFFD},                    // lead that can never start anything
        DecodeCase{"\xE2\x82", FFFD},                         // truncated at the end: one subpart
        DecodeCase{"\xE2\x82\xE2\x82\xAC", FFFD "\u20ac"},    // truncated before a valid sequence
        DecodeCase{"\xF1\x80\x80\xE1\x80\xC2", FFFD FFFD FFFD},  // three subparts in a row
        DecodeCase{"x\xC3(y", "x" FFFD "(y"}));

#undef FFFD

}  // namespace
}  // namespace companion
