// Scripts and privileges: the statement runAdminShell builds, how script results read, the main
// thread, and the system host running the statement through a real shell.

#include <unistd.h>


#include <gtest/gtest.h>

#include "core/scripts.h"
#include "support/script_host_double.h"
#include "support/session_fixture.h"
#include "support/tool_stand_in.h"

namespace companion::testing {
namespace {

using script::ScriptOutcome;

// A word holding every character a shell or a string literal treats specially.
const std::string awkwardWord = "it's \"quoted\" back\\slash $HOME `id` two  spaces";

TEST(AdminShellStatement, QuotesEveryWordEscapesTheLiteralAndIsTheOnlyScriptTheHostReads) {
    // The commands, their shell line, the statement.
    const std::tuple<std::vector<ShellCommand>, std::string, std::string> cases[] = {
        {{{"/bin/echo", "a"}}, "'/bin/echo' 'a'", R"(do shell script "'/bin/echo' 'a'" with administrator privileges)"},
        {{{"/x", "it's"}, {"/y"}}, R"('/x' 'it'\''s' ; '/y')",
         R"(do shell script "'/x' 'it'\\''s' ; '/y'" with administrator privileges)"},
        {{{"/x", R"(a"b\c)"}}, R"('/x' 'a"b\c')", R"(do shell script "'/x' 'a\"b\\c'" with administrator privileges)"},
        {{{"/x", ""}}, "'/x' ''", R"(do shell script "'/x' ''" with administrator privileges)"},
    };
    for (const auto& [commands, line, statement] : cases) {
        EXPECT_EQ(adminShellLine(commands), line);
        EXPECT_EQ(adminShellStatement(commands), statement);
        EXPECT_EQ(script::adminShellText(statement), line) << "the host reads back exactly the line";
    }
    // The host recognises no other script.
    for (std::string source : {
             "tell application \"Finder\" to activate",
             R"(do shell script "a" with administrator privileges and more)",
             R"(do shell script "a"b" with administrator privileges)",   // an unescaped quote
             R"(do shell script "a\" with administrator privileges)",    // escapes the closing quote
             R"(do shell script "a\n" with administrator privileges)",   // an escape never made
             R"(do shell script "a")",
         })
        EXPECT_FALSE(script::adminShellText(source).has_value()) << source;
}

struct ScriptTest : ::testing::Test {
    SessionHarness h;
    MainLoop loop{h.dispatcher.main()};
    std::shared_ptr<RecordingScriptHost> host = std::make_shared<RecordingScriptHost>(h.dispatcher.main());
    void SetUp() override { h.platform.scripts = host; }
};

TEST_F(ScriptTest, ResultsReadAsDescribed) {
    const std::pair<std::optional<ScriptOutcome>, AppleScriptResult> cases[] = {
        {ScriptOutcome{.text = "out", .message = std::nullopt}, {"out", std::nullopt}},
        {ScriptOutcome{}, {"", std::nullopt}},               // a result without text
        {std::nullopt, {"", std::nullopt}},                  // no script could be made
        {scriptFailure("refused"), {std::nullopt, "refused"}},
        {scriptFailure(std::nullopt), {std::nullopt, "AppleScript"}},
    };
    for (const auto& [outcome, expected] : cases) {
        host->respond = [answer = outcome](const std::string&) { return answer; };
        EXPECT_EQ(runAppleScript(h.platform, "x"), expected);
    }
}

struct RootShellTest : ScriptTest {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the privileged shell runs directly only as root";
        host->inner = rootShellHost();
        h.platform.scripts = host;
        failing.answer({.errorOutput = "failing failed\n", .status = 3});
    }
    Runs runs() const { return ToolStandIn::runs(folder.path() / "record"); }

    TempDir folder;
    ToolStandIn tool{folder.path() / "tool"}, failing{folder.path() / "failing"};
};

// Every word reaches the tool unchanged; only the last command decides, and its error text comes back.
TEST_F(RootShellTest, RunsEveryCommandWithItsWordsAndAnswersForTheLast) {
    EXPECT_EQ(runAdminShell(h.platform, {{tool.str(), awkwardWord, "plain"}, {failing.str()}, {tool.str()}}),
              (AdminShellResult{true, ""}));
    EXPECT_EQ(runs(), (Runs{{tool.str(), awkwardWord, "plain"}, {failing.str()}, {tool.str()}}))
        << "a failing command does not stop the next";
    EXPECT_EQ(runAdminShell(h.platform, {{tool.str()}, {failing.str()}}), (AdminShellResult{false, "failing failed\n"}));
}

TEST(SystemScriptHost, WithoutRootItGoesThroughPkexecOrFailsClearly) {
    TempDir folder;
    const std::string pkexec = ToolStandIn(folder.path() / "pkexec").str();
    const std::string statement = adminShellStatement({{"/bin/true"}});
    std::vector<std::string> ran;
    const script::ShellRunner runShell = [&](const std::string& executable, const std::vector<std::string>& arguments) {
        ran = arguments;
        ran.insert(ran.begin(), executable);
        return script::ShellRun{0, "done", ""};
    };

    auto viaPkexec = script::systemScriptHost({"/bin/sh", pkexec, [] { return false; }});
    EXPECT_FALSE(viaPkexec->execute(statement, runShell)->failed);
    EXPECT_EQ(ran, (std::vector<std::string>{pkexec, "/bin/sh", "-c", "'/bin/true'"}));

    auto unprivileged = script::systemScriptHost({"/bin/sh", folder.str() + "/missing", [] { return false; }});
    EXPECT_EQ(*unprivileged->execute(statement, runShell), scriptFailure(std::string(script::noPrivilegesText)));
    EXPECT_EQ(*unprivileged->execute("tell application \"Finder\" to activate", runShell),
              scriptFailure(std::string(script::unsupportedScriptText)));
}

}  // namespace
}  // namespace companion::testing
