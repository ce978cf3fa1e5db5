// System care: maintenance, launch items, login items and permission reset, through a session.
// Scripts go to a recording host; where a test says so, the statement really runs in a root
// shell, and stand-in tools record what ran.

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "care/care_services.h"
#include "care/launch_items.h"
#include "care/login_items.h"
#include "care/maintenance.h"
#include "core/scripts.h"
#include "support/files.h"
#include "support/script_host_double.h"
#include "support/tool_harness.h"

namespace companion::testing {
namespace {

using namespace service;
namespace fs = std::filesystem;

const std::string uid = std::to_string(::getuid());

struct CareTest : ::testing::Test {
    ToolHarness h{care::installCareServices};
    MainLoop loop{h.dispatcher.main()};
    std::shared_ptr<RecordingScriptHost> host = std::make_shared<RecordingScriptHost>(h.dispatcher.main());
    ToolStandIn launchctlTool = h.standIn("launchctl", &ToolPaths::launchctl);
    ToolStandIn tccutilTool = h.standIn("tccutil", &ToolPaths::tccutil);
    const std::string& launchctl = h.platform.tools.launchctl;
    const std::string& tccutil = h.platform.tools.tccutil;

    void SetUp() override {
        h.platform.scripts = host;
        h.platform.environment = [] { return Environment{}; };
        h.platform.tools.launchAgentsFolder = h.tools.str() + "/LaunchAgents";
        h.platform.tools.launchDaemonsFolder = h.tools.str() + "/LaunchDaemons";
    }
    // The shell texts of the privileged statements run so far.
    std::vector<std::string> shellLines() const {
        std::vector<std::string> lines;
        for (const auto& source : host->sources()) lines.push_back(script::adminShellText(source).value_or("?" + source));
        return lines;
    }
};

using Outcome = std::tuple<bool, std::string>;
const Outcome done{true, ""}, invalid{false, "invalid"};

// ---- maintenance ----

// Refused or empty requests ask for no password; the privileged tasks share one shell, in list
// order, and its failure is the reply.
TEST_F(CareTest, Maintenance) {
    for (std::vector<std::string> ids : {std::vector<std::string>{"dns", "DNS"}, {"ram", "nope"}, {""}, {" dns"}})
        EXPECT_EQ(h.call<msg::runMaintenance>({ids}), invalid);
    EXPECT_EQ(h.call<msg::runMaintenance>({{}}), done);
    EXPECT_TRUE(host->sources().empty());

    EXPECT_EQ(h.call<msg::runMaintenance>({{"dns", "ram", "permissions"}}), done);
    EXPECT_EQ(shellLines(), (std::vector<std::string>{
                                "'/usr/bin/dscacheutil' '-flushcache' ; '/usr/bin/killall' '-HUP' 'mDNSResponder' ; "
                                "'/usr/sbin/purge' ; '/usr/sbin/diskutil' 'resetUserPermissions' '/' '" + uid + "'"}));
    host->respond = [](const std::string&) { return scriptFailure("User canceled."); };
    EXPECT_EQ(h.call<msg::runMaintenance>({{"quicklook", "spotlight"}}), Outcome(false, "User canceled."));
}

// ---- launch items ----

struct LaunchItemTest : CareTest {
    std::string userFolder() const { return h.home.str() + "/Library/LaunchAgents"; }
    std::string item(const std::string& folder, const std::string& name = "com.example.agent.plist") const {
        writeFile(folder + "/" + name, "<plist/>");
        return folder + "/" + name;
    }
    std::string trashFiles() const { return h.home.str() + "/.local/share/Trash/files"; }
    Outcome set(const std::string& label, const std::string& plist, const std::string& domain, bool on) {
        return h.call<msg::setLaunchItemWithLabel>({label, plist, domain, on});
    }
    Outcome remove(const std::string& label, const std::string& plist, const std::string& domain) {
        return h.call<msg::removeLaunchItemWithLabel>({label, plist, domain});
    }
};

TEST_F(LaunchItemTest, RefusedRequestsRunNothing) {
    const std::string user = item(userFolder());
    const std::string daemon = item(h.platform.tools.launchDaemonsFolder);
    const std::string agent = item(h.platform.tools.launchAgentsFolder);
    const std::string nested = item(userFolder() + "/sub");
    const std::string backup = item(userFolder(), "com.example.agent.plist.bak");
    // Label, file, domain.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"com.example.agent", user, "User"},        {"com.example.agent", user, ""},
        {"", user, "user"},                          {"-x", user, "user"},
        {"a b", user, "user"},                       {"a/b", user, "user"},
        {"com.example.agent", nested, "user"},       {"com.example.agent", agent, "daemon"},
        {"com.example.agent", daemon, "user"},       {"com.example.agent", backup, "user"},
        {"com.example.agent", userFolder() + "/missing.plist", "user"},
        {"com.example.agent", "Library/LaunchAgents/com.example.agent.plist", "user"},
        {"com.example.agent", user + "\n", "user"},
    };
    for (const auto& [label, plist, domain] : cases) {
        EXPECT_EQ(set(label, plist, domain, true), invalid) << label << " " << plist << " " << domain;
        EXPECT_EQ(remove(label, plist, domain), invalid);
    }
    EXPECT_TRUE(h.runs().empty());
    EXPECT_TRUE(host->sources().empty());
    EXPECT_TRUE(fs::exists(user));
}

TEST_F(LaunchItemTest, LabelsFollowTheIdentifierRule) {
    const std::string user = item(userFolder());
    for (std::string label : {"a-b", "_x", "x@2", "com.example.agent"})
        EXPECT_TRUE(care::resolveLaunchItem(h.platform, label, user, "user").has_value()) << label;
    EXPECT_EQ(care::resolveLaunchItem(h.platform, "l", userFolder() + "/./sub/../com.example.agent.plist", "user"),
              (care::ResolvedLaunchItem{user, "gui/" + uid, false}));
}

TEST_F(LaunchItemTest, AUserItemSwitchesAsTheUserWhateverLaunchctlSays) {
    const std::string plist = item(userFolder());
    launchctlTool.answer({.errorOutput = "no", .status = 5});
    EXPECT_EQ(set("com.example.agent", plist, "user", true), done);
    EXPECT_EQ(set("com.example.agent", plist, "user", false), done);
    EXPECT_EQ(h.runs(), (Runs{{launchctl, "enable", "gui/" + uid + "/com.example.agent"},
                              {launchctl, "bootstrap", "gui/" + uid, plist},
                              {launchctl, "disable", "gui/" + uid + "/com.example.agent"},
                              {launchctl, "bootout", "gui/" + uid, plist}}));
    EXPECT_TRUE(host->sources().empty());
}

TEST_F(LaunchItemTest, ASystemItemSwitchesInOnePrivilegedShell) {
    const std::string plist = item(h.platform.tools.launchDaemonsFolder, "com.example.d.plist");
    EXPECT_EQ(set("com.example.d", plist, "daemon", true), done);
    const std::string quoted = "'" + launchctl + "'";
    EXPECT_EQ(shellLines(), (std::vector<std::string>{quoted + " 'enable' 'system/com.example.d' ; " + quoted +
                                                       " 'bootstrap' 'system' '" + plist + "'"}));
    host->respond = [](const std::string&) { return scriptFailure("launchctl: no"); };
    EXPECT_EQ(set("com.example.d", plist, "agent", false), invalid) << "a daemon's file given as an agent";
    const std::string agentPlist = item(h.platform.tools.launchAgentsFolder, "com.example.a.plist");
    EXPECT_EQ(set("com.example.a", agentPlist, "agent", false), Outcome(false, "launchctl: no"));
    EXPECT_TRUE(h.runs().empty());
}

TEST_F(LaunchItemTest, TheStateIsBothOutputsUntrimmedInOrder) {
    launchctlTool.answer({.output = " disabled \n"}, 1);
    launchctlTool.answer({.output = " list \n", .status = 1}, 2);
    EXPECT_EQ(h.call<msg::launchctlStateWithReply>({}), (std::tuple{std::string(" disabled \n"), std::string(" list \n")}));
    EXPECT_EQ(h.runs(), (Runs{{launchctl, "print-disabled", "gui/" + uid}, {launchctl, "list"}}));
}

TEST_F(LaunchItemTest, ARemovedUserItemGoesToTheTrashWithoutReplacingAnEarlierOneOrSaysTrash) {
    for (int round = 0; round < 2; ++round) {
        const std::string plist = item(userFolder());
        writeFile(plist, "round " + std::to_string(round));
        EXPECT_EQ(remove("com.example.agent", plist, "user"), done);
        EXPECT_FALSE(fs::exists(plist));
    }
    EXPECT_EQ(readFile(trashFiles() + "/com.example.agent.plist"), "round 0");
    EXPECT_EQ(readFile(trashFiles() + "/com.example.agent 2.plist"), "round 1");
    const std::string info = readFile(h.home.str() + "/.local/share/Trash/info/com.example.agent 2.plist.trashinfo");
    EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=" + userFolder() + "/com.example.agent.plist\nDeletionDate="))
        << info;
    EXPECT_EQ(h.runs().front(), (std::vector<std::string>{launchctl, "disable", "gui/" + uid + "/com.example.agent"}));

    // A failed move to the Trash says so.
    fs::remove_all(h.home.str() + "/.local/share/Trash");
    writeFile(h.home.str() + "/.local/share/Trash", "not a folder");
    EXPECT_EQ(remove("com.example.agent", item(userFolder()), "user"), Outcome(false, "trash"));
    EXPECT_EQ(h.runs().size(), 6u) << "switched off first";
}

TEST_F(LaunchItemTest, ASystemItemIsMovedInASecondShellEvenWhenSwitchingOffFailed) {
    const std::string plist = item(h.platform.tools.launchDaemonsFolder, "com.example.d.plist");
    int scripts = 0;
    host->respond = [&](const std::string&) {
        return ++scripts == 1 ? scriptFailure("User canceled.") : script::ScriptOutcome{};
    };
    EXPECT_EQ(remove("com.example.d", plist, "daemon"), done);
    // The folder while the name is free there, a free name once it is taken.
    writeFile(h.home.str() + "/.Trash/com.example.d.plist", "earlier");
    EXPECT_EQ(remove("com.example.d", plist, "daemon"), done);
    const std::string trash = h.home.str() + "/.Trash/", quoted = "'" + launchctl + "'";
    ASSERT_EQ(shellLines().size(), 4u);
    EXPECT_EQ(shellLines()[0], quoted + " 'disable' 'system/com.example.d' ; " + quoted + " 'bootout' 'system' '" +
                                   plist + "'");
    EXPECT_EQ(shellLines()[1], "'/bin/mv' '" + plist + "' '" + trash + "'");
    EXPECT_EQ(shellLines()[3], "'/bin/mv' '" + plist + "' '" + trash + "com.example.d 2.plist'");
}

// ---- login items ----

// No login items is an empty text and a failed listing none; a removal escapes the name and
// refuses control characters.
TEST_F(CareTest, LoginItems) {
    EXPECT_EQ(h.call<msg::loginItemsWithReply>({}), (std::tuple{std::optional<std::string>("")}));
    for (const std::string& name : std::vector<std::string>{"", "a\tb", "a\nb", std::string("a\0b", 3)})
        EXPECT_EQ(h.call<msg::removeLoginItemWithName>({name}), std::tuple{false});
    EXPECT_EQ(h.call<msg::removeLoginItemWithName>({"My \"App\""}), std::tuple{true});
    EXPECT_EQ(h.call<msg::removeLoginItemWithName>({"Tool\\"}), std::tuple{true});
    EXPECT_EQ(host->sources(), (std::vector<std::string>{
                                   care::loginItemsScript,
                                   R"(tell application "System Events" to delete login item "My \"App\"")",
                                   R"(tell application "System Events" to delete login item "Tool\\")"}));
    host->respond = [](const std::string&) { return scriptFailure("not allowed"); };
    EXPECT_EQ(h.call<msg::loginItemsWithReply>({}), (std::tuple{std::optional<std::string>()}));
    EXPECT_EQ(h.call<msg::removeLoginItemWithName>({"Gone"}), std::tuple{false});
}

// ---- permission reset ----

TEST_F(CareTest, PermissionRequestsWithOneBadEntryRunNothing) {
    using Lists = std::tuple<std::vector<std::string>, std::vector<std::string>, std::vector<bool>>;
    const Lists cases[] = {
        {{"Camera", "Microphone"}, {"com.example.app"}, {false, false}},
        {{"Camera"}, {"com.example.app"}, {false, true}},
        {{"Camera"}, {"com.example.app"}, {}},
        {{"Camera2"}, {"com.example.app"}, {false}},
        {{"Camera X"}, {"com.example.app"}, {false}},
        {{""}, {"com.example.app"}, {false}},
        {{"Camera"}, {""}, {false}},
        {{"Camera"}, {"/Applications/It's.app"}, {false}},
        {{"Camera"}, {"/Applications/A\tB.app"}, {false}},
        {{"Camera"}, {"relative/path"}, {false}},
        {{"Camera", "Camera"}, {"com.example.app", "-x"}, {false, true}},
    };
    for (const Lists& lists : cases)
        EXPECT_EQ(h.call<msg::resetPermissionsWithServices>(lists), invalid);
    EXPECT_FALSE(h.session().handle(msg::resetPermissionsWithServices::selector, false,
                                    nlohmann::json::parse(R"([["Camera"], ["com.example.app"], ["true"]])"), nullptr))
        << "the system-wide list carries booleans";
    EXPECT_TRUE(h.runs().empty());
    EXPECT_TRUE(host->sources().empty());
}

TEST_F(CareTest, PermissionResetsAsTheUserThenOnePrivilegedShell) {
    EXPECT_EQ(h.call<msg::resetPermissionsWithServices>({{}, {}, {}}), done);
    EXPECT_TRUE(host->sources().empty());

    host->respond = [](const std::string&) { return scriptFailure("denied"); };
    EXPECT_EQ(h.call<msg::resetPermissionsWithServices>(
                  {{"Camera", "Microphone", "SystemPolicyAllFiles"},
                   {"com.example.app", "com.example.app", "/Applications/Example.app"},
                   {false, true, true}}),
              Outcome(false, "denied"));
    EXPECT_EQ(h.runs(), (Runs{{tccutil, "reset", "Camera", "com.example.app"}}));
    EXPECT_EQ(shellLines(), (std::vector<std::string>{"'" + tccutil + "' 'reset' 'Microphone' 'com.example.app' ; '" +
                                                       tccutil + "' 'reset' 'SystemPolicyAllFiles' '/Applications/Example.app'"}));
}

}  // namespace
}  // namespace companion::testing
