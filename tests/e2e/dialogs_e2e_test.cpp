// The dialog assistant through the built agent and the command-line client, on a headless
// desktop of its own: real GTK 3 and Qt 6 file dialogs found and sent to folders, and the replies
// when the accessibility bus is missing or switched off.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>

#include "core/command_runner.h"
#include "support/assistant_fixture.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto appLimit = 20s;
constexpr auto settleTime = 1s;
constexpr const char* notTrustedCode = "-25211";

enum class Toolkit { gtk, qt };

struct DialogCase {
    std::string name;
    Toolkit toolkit;
    bool save;
    std::string target;  // the folder's name
    int files;           // how many files it holds
    bool covered = false;  // another window holds the focus when the request comes
};

void PrintTo(const DialogCase& c, std::ostream* out) { *out << c.name; }

class DialogNavigation : public DialogAssistant, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(DialogNavigation, FindsTheDialogAndSendsItToTheFolder) {
    const DialogCase& c = GetParam();
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    const fs::path start = folder("start", 2), target = folder(c.target, c.files);
    const std::string mode = c.save ? "save" : "open";
    auto app = c.toolkit == Toolkit::gtk ? desktop.launch({systemPython, gtkDialogProgram(), mode, start.string()})
                                         : desktop.launch({qtDialogProgram(), mode, start.string()});
    ASSERT_TRUE(app.waitForLine("shown", appLimit)) << "the dialog never showed";
    std::optional<DesktopChild> cover;
    if (c.covered) {
        cover.emplace(desktop.launch({systemPython, gtkDialogProgram(), "cover"}));
        ASSERT_TRUE(cover->waitForLine("shown", appLimit));
    }

    const std::string pid = std::to_string(app.pid());
    const json detected = lookUntil({"detectDialogWithPid:reply:", pid}, [](const json& r) { return r[2] == 0; });
    ASSERT_EQ(detected.size(), 3u) << detected;
    EXPECT_EQ(detected[0].size(), 4u) << detected;
    EXPECT_GT(detected[0][2].get<double>(), 0) << detected;
    EXPECT_EQ(detected[1], c.save) << detected;
    EXPECT_EQ(detected[2], 0) << detected;

    EXPECT_EQ(call({"navigateDialogWithPid:path:reply:", pid, json(target.string()).dump()}), json::array({true}));
    EXPECT_TRUE(app.waitForLine("folder " + target.string(), appLimit)) << "the application never showed the folder";
    if (c.save) {
        app.waitForLine("result", settleTime);  // the name comes back a moment after the move
        std::string lastName;
        for (const auto& line : app.lines())
            if (line.starts_with("name ")) lastName = line;
        EXPECT_EQ(lastName, "name untitled.txt") << "the file name was lost";
    }
    for (const auto& line : app.lines()) EXPECT_FALSE(line.starts_with("result")) << "the dialog was confirmed";
}

const DialogCase dialogCases[] = {
    {"GtkOpen", Toolkit::gtk, false, "target", 2},
    {"GtkSaveKeepsItsName", Toolkit::gtk, true, "target", 2},
    {"QtOpen", Toolkit::qt, false, "target", 2},
    {"QtSaveKeepsItsName", Toolkit::qt, true, "target", 2},
    {"GtkFolderHoldingOneFile", Toolkit::gtk, false, "one", 1},
    {"GtkEmptyFolder", Toolkit::gtk, false, "empty", 0},
    {"UnicodePath", Toolkit::qt, false, "dossier é 目", 2},
    {"BehindAWindowHoldingTheFocus", Toolkit::gtk, false, "target", 2, true},
};
INSTANTIATE_TEST_SUITE_P(Desktop, DialogNavigation, ::testing::ValuesIn(dialogCases),
                         [](const auto& info) { return info.param.name; });

// With the switch off, nothing is read and asking does not turn it on: that is the user's act.
TEST_F(DialogAssistant, SwitchOffIsThePromptState) {
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(false));
    startAgent();
    EXPECT_EQ(call({"accessibilityWithPrompt:reply:", "true"}), json::array({false}));
    EXPECT_EQ(desktop.assistiveTechnologiesOn(), false);
    EXPECT_EQ(call({"detectDialogWithPid:reply:", "1"}).dump(), std::string("[[],false,") + notTrustedCode + "]");
}

// libatspi would end the process without its bus: the agent must answer, and go on answering.
TEST_F(DialogAssistant, NoAccessibilityBusLeavesTheAgentAnswering) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (folders.path() / "no-bus").string()).c_str(), 1);
    startAgent();
    const std::string ownPid = std::to_string(::getpid());
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"accessibilityWithPrompt:reply:", "true"}, "[false]"},
        {{"detectDialogWithPid:reply:", ownPid}, std::string("[[],false,") + notTrustedCode + "]"},
        {{"navigateDialogWithPid:path:reply:", ownPid, json(folders.str()).dump()}, "[false]"},
        {{"finderFoldersWithReply:"}, "[[]]"},
    };
    for (const auto& [message, reply] : cases) EXPECT_EQ(call(message).dump(), reply) << message.front();
    EXPECT_FALSE(agent->exited());
}

}  // namespace
}  // namespace companion::testing
