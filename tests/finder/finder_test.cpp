// Finder settings and actions, through a session: real property lists in a temporary home,
// scripts to a recording host, and a workspace double.

#include <filesystem>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "finder/actions.h"
#include "finder/finder_services.h"
#include "support/files.h"
#include "support/script_host_double.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using namespace service;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* plistutil = "/usr/bin/plistutil";

class WorkspaceDouble final : public workspace::Workspace {
public:
    std::optional<workspace::RunningApplication> runningApplication(int32_t) const override { return std::nullopt; }
    std::vector<workspace::RunningApplication> runningApplications(std::string_view id) const override {
        return id == finder::finderBundleIdentifier ? running : std::vector<workspace::RunningApplication>{};
    }
    std::optional<workspace::RunningApplication> frontmostApplication() const override { return std::nullopt; }
    bool activate(int32_t) override { return false; }
    void terminate(int32_t pid) override {
        std::lock_guard lock(mutex);
        events.push_back("terminate " + std::to_string(pid));
    }
    std::optional<std::string> applicationLocation(std::string_view) const override { return location; }
    void openApplication(const std::string& at, std::function<void(bool)> completion) override {
        {
            std::lock_guard lock(mutex);
            events.push_back("open " + at);
        }
        // The completion comes from elsewhere, as the platform's does.
        std::thread([completion, opens = opens] { completion(opens); }).detach();
    }
    bool openAddress(const std::string&) override { return false; }
    void beep() override {}

    std::vector<workspace::RunningApplication> running;
    std::optional<std::string> location;
    bool opens = true;
    std::mutex mutex;
    std::vector<std::string> events;
};

struct FinderTest : ::testing::Test {
    SessionHarness h;
    MainLoop loop{h.dispatcher.main()};
    std::shared_ptr<RecordingScriptHost> host = std::make_shared<RecordingScriptHost>(h.dispatcher.main());
    std::shared_ptr<WorkspaceDouble> workspace = std::make_shared<WorkspaceDouble>();

    void SetUp() override {
        h.platform.scripts = host;
        h.platform.workspace = workspace;
        h.platform.preferences = std::make_shared<preferences::PreferenceStore>(h.platform.homeDirectory);
        finder::installFinderServices(h.services);
    }
    fs::path domainFile(const std::string& domain) const {
        return h.home.path() / "Library/Preferences" / (domain + ".plist");
    }
    // The domain's file as XML, through the property-list tool.
    std::string domainXml(const std::string& domain) const {
        return runCommand(plistutil, {"-i", domainFile(domain).string(), "-f", "xml", "-o", "-"}).output;
    }
    void writeDomainXml(const std::string& domain, const std::string& entries) const {
        writeFile(domainFile(domain),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
                      "</dict>\n</plist>\n");
    }
};

TEST_F(FinderTest, SettingsReadBackWhatWasWritten) {
    EXPECT_EQ(h.call<msg::desktopServicesWithReply>({}), (std::tuple{false, false}));
    EXPECT_EQ(h.call<msg::setDesktopServicesWithNoNetworkStores>({true, true}), std::tuple{true});
    EXPECT_EQ(h.call<msg::setDesktopServicesWithNoNetworkStores>({false, true}), std::tuple{true});
    const std::string xml = domainXml("com.apple.desktopservices");
    EXPECT_EQ(xml.find("DSDontWriteNetworkStores"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>DSDontWriteUSBStores</key>\n\t<true/>"), std::string::npos) << xml;
    EXPECT_EQ(h.call<msg::desktopServicesWithReply>({}), (std::tuple{false, true}));

    // The trash setting, unlike those two, is always written as an explicit boolean.
    EXPECT_EQ(h.call<msg::setFinderRemovesOldTrash>({true}), std::tuple{true});
    EXPECT_EQ(h.call<msg::finderRemovesOldTrashWithReply>({}), std::tuple{true});
    EXPECT_EQ(h.call<msg::setFinderRemovesOldTrash>({false}), std::tuple{true});
    EXPECT_NE(domainXml("com.apple.finder").find("<key>FXRemoveOldTrashItems</key>\n\t<false/>"), std::string::npos);
    EXPECT_EQ(h.call<msg::finderRemovesOldTrashWithReply>({}), std::tuple{false});
}

TEST_F(FinderTest, OnlyBooleansAndTheNumbersZeroAndOneRead) {
    const std::pair<std::string, bool> cases[] = {
        {"<true/>", true},   {"<false/>", false},          {"<integer>1</integer>", true},
        {"<integer>0</integer>", false}, {"<integer>2</integer>", false}, {"<real>1.0</real>", true},
        {"<real>0.5</real>", false},     {"<string>1</string>", false},   {"<array><true/></array>", false},
    };
    for (const auto& [value, reads] : cases) {
        writeDomainXml("com.apple.finder", "<key>FXRemoveOldTrashItems</key>" + value + "\n");
        EXPECT_EQ(h.call<msg::finderRemovesOldTrashWithReply>({}), std::tuple{reads}) << value;
    }
}

TEST_F(FinderTest, WritingKeepsEveryOtherKeyAndTheFileFormat) {
    const std::string others =
        "<key>ShowPathbar</key>\n<true/>\n<key>NewWindowTarget</key>\n<string>PfHm</string>\n"
        "<key>Nested</key>\n<dict><key>a</key><integer>7</integer></dict>\n";
    writeDomainXml("com.apple.finder", others);
    EXPECT_EQ(h.call<msg::setFinderRemovesOldTrash>({true}), std::tuple{true});
    const std::string text = readFile(domainFile("com.apple.finder"));
    EXPECT_TRUE(text.starts_with("<?xml")) << "an XML file stays XML";
    for (std::string expected : {"<key>ShowPathbar</key>", "<string>PfHm</string>", "<integer>7</integer>",
                                 "<key>FXRemoveOldTrashItems</key>"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    EXPECT_EQ(h.call<msg::setDesktopServicesWithNoNetworkStores>({true, false}), std::tuple{true});
    EXPECT_TRUE(readFile(domainFile("com.apple.desktopservices")).starts_with("bplist00")) << "a new file is binary";
}

TEST_F(FinderTest, AFileThatCannotBeWrittenOrReadFailsTheWriteAndIsLeftAlone) {
    fs::create_directories(domainFile("com.apple.finder"));  // a folder where the file should be
    EXPECT_EQ(h.call<msg::setFinderRemovesOldTrash>({true}), std::tuple{false});
    writeFile(domainFile("com.apple.desktopservices"), "not a property list");
    EXPECT_EQ(h.call<msg::setDesktopServicesWithNoNetworkStores>({true, true}), std::tuple{false});
    EXPECT_EQ(readFile(domainFile("com.apple.desktopservices")), "not a property list");
}

// ---- information windows ----

TEST_F(FinderTest, GetInfoScriptsTheKeptPathsInOrderAndNothingWhenNoneIsKept) {
    EXPECT_EQ(h.call<msg::finderGetInfoWithPaths>({{"relative", "", "/tab\there"}}), std::tuple{false});
    EXPECT_TRUE(host->sources().empty());
    writeFile(h.home.path() / "Documents/a\"b.txt", "");
    writeFile(h.home.path() / "c.txt", "");
    const std::string home = h.home.str();
    EXPECT_EQ(h.call<msg::finderGetInfoWithPaths>(
                  {{home + "/../" + h.home.path().filename().string() + "/Documents/a\"b.txt", "relative.txt", "",
                    home + "/c\t.txt", home + "/missing", home + "/c.txt"}}),
              std::tuple{true});
    EXPECT_EQ(host->sources(), (std::vector<std::string>{
                                   "tell application \"Finder\"\nactivate\n"
                                   "open information window of (POSIX file \"" + home + "/Documents/a\\\"b.txt\" as alias)\n"
                                   "open information window of (POSIX file \"" + home + "/c.txt\" as alias)\n"
                                   "end tell"}));
    host->respond = [](const std::string&) { return scriptFailure("Finder got an error"); };
    EXPECT_EQ(h.call<msg::finderGetInfoWithPaths>({{h.home.str()}}), std::tuple{false});
}

// ---- relaunch ----

// No Finder to open, or a failed open, is false.
TEST_F(FinderTest, QuitsEveryFinderWaitsThenOpensAndAnswersFromTheCompletion) {
    EXPECT_EQ(h.call<msg::relaunchFinderWithReply>({}), std::tuple{false});
    workspace->location = "/System/Library/CoreServices/Finder.app";
    workspace->opens = false;
    EXPECT_EQ(h.call<msg::relaunchFinderWithReply>({}), std::tuple{false});
    workspace->opens = true;
    workspace->running = {{11, "com.apple.finder"}, {12, "com.apple.finder"}};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(h.call<msg::relaunchFinderWithReply>({}), std::tuple{true});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
    std::lock_guard lock(workspace->mutex);
    const std::string open = "open /System/Library/CoreServices/Finder.app";
    EXPECT_EQ(workspace->events, (std::vector<std::string>{open, "terminate 11", "terminate 12", open}));
}

TEST_F(FinderTest, OtherScriptsDoNotWaitForTheRelaunchDelay) {
    workspace->location = "/Finder.app";
    host->hold = 20ms;
    std::promise<void> relaunched;
    std::atomic<bool> relaunchAnswered{false};
    h.session().handle(msg::relaunchFinderWithReply::selector, false, nlohmann::json::array(),
                       [&](nlohmann::json) {
                           relaunchAnswered = true;
                           relaunched.set_value();
                       });
    std::vector<std::future<std::tuple<bool>>> infos;
    for (int i = 0; i < 4; ++i)
        infos.push_back(std::async(std::launch::async, [&] { return h.call<msg::finderGetInfoWithPaths>({{h.home.str()}}); }));
    for (auto& info : infos) EXPECT_EQ(info.get(), std::tuple{true});
    EXPECT_FALSE(relaunchAnswered) << "every information window was scripted inside the delay";
    relaunched.get_future().wait();
    EXPECT_FALSE(host->anyOnMain()) << "the main queue never waits for a script's tools";
    EXPECT_EQ(host->mostAtOnce(), 1);
}

}  // namespace
}  // namespace companion::testing
