// The dialog assistant through the built agent and the command-line client, on a headless
// desktop of its own: real GTK 3, GTK 4, Qt 6, Qt 5 and KDE file dialogs, the one the desktop
// portal shows for a program, and file choosers that programs embed in their own windows, found
// and sent to folders, and the replies when the accessibility bus is missing or switched off.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "core/command_runner.h"
#include "platform/unique_fd.h"
#include "support/assistant_fixture.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto appLimit = 20s;
constexpr auto settleTime = 1s;
constexpr const char* notTrustedCode = "-25211";
constexpr const char* envProgram = "/usr/bin/env";
// Qt programs show KDE's own file dialog through its platform theme, as under Plasma.
constexpr const char* kdeThemeSetting = "QT_QPA_PLATFORMTHEME=kde";
// A GTK program asks the desktop portal for its dialog, as every sandboxed program does.
constexpr const char* portalSetting = "GTK_USE_PORTAL=1";
constexpr const char* portalName = "org.freedesktop.portal.Desktop";
// Well under D-Bus's own default wait (25 s) for a bus that never answers.
constexpr double silentBusLimitSeconds = 12;

// The programs whose dialogs the assistant drives, each a way a program shows a file chooser.
enum class Program { gtk3, gtk3Embedded, gtk4, gtk4Embedded, qt6, qt5, kde, portal };
enum class Shown { open, save, chooseFolder };

struct Target {
    std::string name;  // the folder's name
    int files;         // how many files it holds
};

struct DialogCase {
    std::string name;
    Program program;
    Shown shown;
    Target target;
    bool covered = false;    // another window holds the focus when the request comes
    DisplayServer server = DisplayServer::x11;
    bool refused = false;   // navigation replies false: nothing reaches the dialog's path field
};

void PrintTo(const DialogCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> dialogCommand(Program program, Shown shown, const std::string& start) {
    const std::string mode = shown == Shown::save ? "save" : shown == Shown::chooseFolder ? "folder" : "open";
    switch (program) {
        case Program::gtk3: return {systemPython, gtkDialogProgram(), mode, start};
        case Program::gtk3Embedded: return {systemPython, gtkDialogProgram(), "embedded-" + mode, start};
        case Program::gtk4: return {systemPython, gtk4DialogProgram(), mode, start};
        case Program::gtk4Embedded: return {systemPython, gtk4DialogProgram(), "embedded-" + mode, start};
        case Program::qt6: return {qtDialogProgram(), mode, start};
        case Program::qt5: return {systemPython, qt5DialogProgram(), mode, start};
        case Program::kde: return {envProgram, kdeThemeSetting, systemPython, qt5DialogProgram(), "kde-" + mode, start};
        case Program::portal: return {envProgram, portalSetting, systemPython, portalDialogProgram(), mode, start};
    }
    return {};
}

class DialogNavigation : public DialogAssistant, public ::testing::WithParamInterface<DialogCase> {
protected:
    DialogNavigation() : DialogAssistant(GetParam().server) {}
};

TEST_P(DialogNavigation, FindsTheDialogAndSendsItToTheFolder) {
    const DialogCase& c = GetParam();
    const bool save = c.shown == Shown::save;
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    const fs::path start = folder("start", 2), target = folder(c.target.name, c.target.files);
    auto app = desktop.launch(dialogCommand(c.program, c.shown, start.string()));
    ASSERT_TRUE(app.waitForLine("shown", appLimit)) << "the dialog never showed";
    std::optional<DesktopChild> cover;
    if (c.covered) {
        cover.emplace(desktop.launch({systemPython, gtkDialogProgram(), "cover"}));
        ASSERT_TRUE(cover->waitForLine("shown", appLimit));
    }

    const std::string pid = std::to_string(app.pid());
    const json detected = lookUntil({"detectDialogWithPid:reply:", pid}, [](const json& r) { return r[2] == 0; });
    ASSERT_EQ(detected.size(), 3u) << detected;
    ASSERT_EQ(detected[0].size(), 4u) << detected;
    EXPECT_GT(detected[0][2].get<double>(), 0) << detected;
    EXPECT_EQ(detected[1], save) << detected;
    EXPECT_EQ(detected[2], 0) << detected;

    const json navigated = call({"navigateDialogWithPid:path:reply:", pid, json(target.string()).dump()});
    EXPECT_EQ(navigated, json::array({!c.refused}));
    if (!c.refused) {
        EXPECT_TRUE(app.waitForLine("folder " + target.string(), appLimit))
            << "the application never showed the folder: " << ::testing::PrintToString(app.lines());
    }
    if (save) {
        app.waitForLine("result", settleTime);  // the name comes back a moment after the move
        std::string lastName;
        for (const auto& line : app.lines())
            if (line.starts_with("name ")) lastName = line;
        EXPECT_EQ(lastName, "name untitled.txt") << "the file name was lost: " << ::testing::PrintToString(app.lines());
    }
    for (const auto& line : app.lines()) EXPECT_FALSE(line.starts_with("result")) << "the dialog was confirmed";
}

// Every dialog kind, Open and Save, to an ordinary folder, one holding a single entry (which GTK
// completes inline) and one whose path needs more than ASCII; the choosers programs embed in their
// own windows, found; then the odd ones out.
std::vector<DialogCase> dialogCases() {
    const std::pair<Program, std::string> programs[] = {
        {Program::gtk3, "Gtk3"}, {Program::gtk4, "Gtk4"}, {Program::qt6, "Qt6"}, {Program::qt5, "Qt5"},
        {Program::kde, "Kde"}, {Program::portal, "Portal"}};
    const std::pair<Shown, std::string> panels[] = {{Shown::open, "Open"}, {Shown::save, "SaveKeepsItsName"}};
    const std::pair<Target, std::string> targets[] = {
        {{"target", 2}, ""}, {{"one", 1}, "ToASingleEntryFolder"}, {{"dossier é 目", 2}, "ToAUnicodePath"}};
    std::vector<DialogCase> cases;
    for (const auto& [program, programName] : programs)
        for (const auto& [shown, shownName] : panels)
            for (const auto& [target, targetName] : targets)
                cases.push_back({programName + shownName + targetName, program, shown, target});
    // A GTK 3 Save chooser in a program's window is walked there through its path bar and file
    // list; the Open one, GTK 4's, and GTK 4's Select Folder dialog cannot be moved without
    // answering the program.
    const Target unicode{"dossier é 目", 2};
    const auto x11 = DisplayServer::x11;
    for (const auto& [target, targetName] : targets)
        cases.push_back({"Gtk3EmbeddedSaveKeepsItsName" + targetName, Program::gtk3Embedded, Shown::save, target});
    cases.push_back({"Gtk3EmbeddedOpenIsRefused", Program::gtk3Embedded, Shown::open, unicode, false, x11, true});
    cases.push_back({"Gtk4EmbeddedSaveIsRefused", Program::gtk4Embedded, Shown::save, unicode, false, x11, true});
    cases.push_back({"Gtk4ChooseFolderIsRefused", Program::gtk4, Shown::chooseFolder, unicode, false, x11, true});
    // On Wayland, through the accessibility bus alone: GTK 3, Qt and GTK 4's Save dialog; GTK 4's
    // Open dialog shows its path field only on a key.
    const auto wayland = DisplayServer::wayland;
    cases.push_back({"WaylandGtk3OpenToAUnicodePath", Program::gtk3, Shown::open, unicode, false, wayland});
    cases.push_back({"WaylandGtk3OpenToASingleEntryFolder", Program::gtk3, Shown::open, {"one", 1}, false, wayland});
    cases.push_back({"WaylandGtk3SaveKeepsItsName", Program::gtk3, Shown::save, unicode, false, wayland});
    cases.push_back({"WaylandGtk3EmbeddedSaveKeepsItsName", Program::gtk3Embedded, Shown::save, unicode, false, wayland});
    cases.push_back({"WaylandQt6SaveKeepsItsName", Program::qt6, Shown::save, unicode, false, wayland});
    cases.push_back({"WaylandQt5SaveKeepsItsName", Program::qt5, Shown::save, unicode, false, wayland});
    cases.push_back({"WaylandKdeOpenToAUnicodePath", Program::kde, Shown::open, unicode, false, wayland});
    cases.push_back({"WaylandPortalOpenToAUnicodePath", Program::portal, Shown::open, unicode, false, wayland});
    cases.push_back({"WaylandGtk4SaveKeepsItsName", Program::gtk4, Shown::save, unicode, false, wayland});
    cases.push_back({"WaylandGtk4OpenIsRefused", Program::gtk4, Shown::open, unicode, false, wayland, true});
    cases.push_back({"Gtk3OpenToAnEmptyFolder", Program::gtk3, Shown::open, {"empty", 0}});
    cases.push_back({"Gtk3BehindAWindowHoldingTheFocus", Program::gtk3, Shown::open, {"target", 2}, true});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Desktop, DialogNavigation, ::testing::ValuesIn(dialogCases()),
                         [](const auto& info) { return info.param.name; });

// What may go away under a request: the program with its dialog between detection and navigation,
// the program while its dialog is being navigated, the compositor under a Wayland session. Each
// request still gets its failure reply in bounded time, and the agent goes on answering.
enum class Gone { beforeNavigation, duringNavigation, compositor };
struct GoneCase {
    std::string name;
    Gone gone;
    DisplayServer server = DisplayServer::x11;
};
void PrintTo(const GoneCase& c, std::ostream* out) { *out << c.name; }

class SomethingGoesAway : public DialogAssistant, public ::testing::WithParamInterface<GoneCase> {
protected:
    SomethingGoesAway() : DialogAssistant(GetParam().server) {}
};

// Far above the navigation's own looks (fifteen, 80 ms apart) and the accessibility calls' limits.
constexpr auto goneReplyLimit = 10s;
constexpr auto duringNavigation = 150ms;

TEST_P(SomethingGoesAway, EachRequestIsAnsweredInBoundedTime) {
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    const fs::path start = folder("start", 2), target = folder("target", 2);
    auto app = desktop.launch(dialogCommand(Program::gtk3, Shown::open, start.string()));
    ASSERT_TRUE(app.waitForLine("shown", appLimit)) << "the dialog never showed";
    const std::string pid = std::to_string(app.pid());
    lookUntil({"detectDialogWithPid:reply:", pid}, [](const json& r) { return r[2] == 0; });

    std::jthread ending;
    switch (GetParam().gone) {
        case Gone::beforeNavigation: app = DesktopChild{}; break;
        case Gone::duringNavigation:
            ending = std::jthread([group = app.pid()] {
                std::this_thread::sleep_for(duringNavigation);
                ::kill(-group, SIGKILL);
            });
            break;
        case Gone::compositor: desktop.stopCompositor(); break;
    }
    const std::pair<std::vector<std::string>, json> requests[] = {
        {{"navigateDialogWithPid:path:reply:", pid, json(target.string()).dump()}, json::array({false})},
        {{"detectDialogWithPid:reply:", pid}, nullptr},
    };
    for (const auto& [message, failure] : requests) {
        const auto started = std::chrono::steady_clock::now();
        const json reply = call(message);
        EXPECT_LT(std::chrono::steady_clock::now() - started, goneReplyLimit) << message.front();
        if (!failure.is_null()) EXPECT_EQ(reply, failure);
        else EXPECT_TRUE(reply.size() == 3 && reply[0].empty() && reply[1] == false) << reply;
    }
    EXPECT_FALSE(agent->exited());
}

INSTANTIATE_TEST_SUITE_P(Desktop, SomethingGoesAway,
                         ::testing::Values(GoneCase{"TheProgramBeforeNavigation", Gone::beforeNavigation},
                                           GoneCase{"TheProgramDuringNavigation", Gone::duringNavigation},
                                           GoneCase{"TheCompositor", Gone::compositor, DisplayServer::wayland}),
                         [](const auto& info) { return info.param.name; });

// A portal that took the program's request and then stops answering: the dialog cannot be tied to
// the program any more, and detection says so within its limits instead of waiting on the portal.
TEST_F(DialogAssistant, APortalThatNeverAnswersIsNoDialogInBoundedTime) {
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    auto app = desktop.launch({envProgram, portalSetting, systemPython, portalDialogProgram(), "open", folders.str()});
    ASSERT_TRUE(app.waitForLine("shown", appLimit)) << "the portal's dialog never showed";
    const auto portal = desktop.ownerOf(portalName);
    ASSERT_TRUE(portal);
    ::kill(*portal, SIGSTOP);
    const json reply = call({"detectDialogWithPid:reply:", std::to_string(app.pid())}, silentBusLimitSeconds);
    ::kill(*portal, SIGCONT);
    EXPECT_EQ(reply.dump(), "[[],false,0]");
    EXPECT_FALSE(agent->exited());
}

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

// A session bus that takes connections and never answers: the trust check gives up in bounded time
// (each of its calls, the greeting included), the answer is "not trusted", and the agent goes on.
TEST_F(DialogAssistant, ABusThatNeverAnswersIsNotTrustedInBoundedTime) {
    const fs::path socketPath = folders.path() / "silent-bus";
    const UniqueFd silentBus(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(silentBus);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(silentBus.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silentBus.get(), 16), 0);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);
    startAgent();
    EXPECT_EQ(call({"accessibilityWithPrompt:reply:", "true"}, silentBusLimitSeconds).dump(), "[false]");
    EXPECT_FALSE(agent->exited());
}

}  // namespace
}  // namespace companion::testing
