// System care through the built agent, as root: the agent runs in a private mount namespace in
// which stand-in tools lie over the fixed tool folders and record what really ran, including what
// the privileged shell ran. The namespace, and every mount in it, ends with the agent.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "service/identity.h"
#include "support/agent_process.h"
#include "support/files.h"
#include "support/script_host_double.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using Runs = std::vector<std::vector<std::string>>;

// The tool folders covered, and the stand-ins laid over each.
const std::map<std::string, std::vector<std::string>> standInsByFolder = {
    {"/usr/bin", {"dscacheutil", "killall", "qlmanage", "atsutil", "tccutil", "launchctl", "mdutil", "tmutil"}},
    {"/usr/sbin", {"purge", "diskutil"}},
};

class NamespacedAgent {
public:
    NamespacedAgent() {
        std::vector<std::string> options;
        for (const auto& [folder, names] : standInsByFolder) {
            const fs::path layer = root_.path() / "layers" / fs::path(folder).relative_path();
            fs::create_directories(layer);
            for (const auto& name : names)
                fs::create_symlink(std::string(COMPANION_TEST_HELPERS) + "/care/recording_tool", layer / name);
            options.push_back("lowerdir=" + layer.string() + ":" + folder);
        }
        fs::create_directories(home());
        fs::create_directories(runtime());
        fs::permissions(runtime(), fs::perms::owner_all);
        const std::vector<std::string> environment = {
            "HOME=" + home(), "XDG_RUNTIME_DIR=" + runtime(), "COMPANION_TOOL_LOG=" + log(), "PATH=/usr/bin:/bin"};
        const std::string agent = binary("tavro-companion");
        // Everything the child needs is built before the fork: after it, only system calls.
        std::vector<char*> argv{const_cast<char*>(agent.c_str()), const_cast<char*>("--agent"), nullptr};
        std::vector<char*> envp;
        for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        std::vector<const char*> folders;
        for (const auto& entry : standInsByFolder) folders.push_back(entry.first.c_str());

        pid_ = ::fork();
        if (pid_ != 0) return;
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(120);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(121);
        for (size_t i = 0; i < folders.size(); ++i) {
            if (::mount("overlay", folders[i], "overlay", MS_RDONLY, options[i].c_str()) != 0) ::_exit(122);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ~NamespacedAgent() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

    bool waitForSocket() const {
        struct stat info{};
        for (int i = 0; i < 2000; ++i) {
            if (::stat(socket().c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // One call through the command-line client; its output line.
    std::string call(std::vector<std::string> words) const {
        words.insert(words.begin(), {"--socket", socket(), "call"});
        const CommandResult result = runCommand(binary("tavro-companion-ctl"), words, std::nullopt, std::nullopt, 60);
        return result.output + result.errorOutput;
    }
    Runs runs() const { return StandInTools::runsIn(log()); }
    std::string home() const { return root_.str() + "/home"; }

private:
    std::string runtime() const { return root_.str() + "/run"; }
    std::string socket() const { return runtime() + "/" + std::string(machServiceName); }
    std::string log() const { return root_.str() + "/log"; }

    TempDir root_;
    pid_t pid_ = -1;
};

struct CareEndToEnd : ::testing::Test {
    std::optional<NamespacedAgent> agent;
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "stand-ins at the fixed tool paths need root for a private mount namespace";
        agent.emplace();
        ASSERT_TRUE(agent->waitForSocket()) << "the agent did not start in its namespace";
    }
};

TEST_F(CareEndToEnd, MaintenanceRunsUserTasksFirstThenOnePrivilegedShell) {
    EXPECT_EQ(agent->call({"runMaintenance:reply:", R"(["dns","quicklook","ram","fonts","fonts"])"}),
              "{\"reply\":[true,\"\"]}\n");
    EXPECT_EQ(agent->runs(), (Runs{{"/usr/bin/qlmanage", "-r"},
                                   {"/usr/bin/qlmanage", "-r", "cache"},
                                   {"/usr/bin/atsutil", "databases", "-removeUser"},
                                   {"/usr/bin/atsutil", "databases", "-removeUser"},
                                   {"/usr/bin/dscacheutil", "-flushcache"},
                                   {"/usr/bin/killall", "-HUP", "mDNSResponder"},
                                   {"/usr/sbin/purge"}}));
    EXPECT_EQ(agent->call({"runMaintenance:reply:", R"(["ram","Ram"])"}), "{\"reply\":[false,\"invalid\"]}\n");
    EXPECT_EQ(agent->runs().size(), 7u);
}

TEST_F(CareEndToEnd, PermissionResetTakesBooleansAndResetsUserEntriesFirst) {
    EXPECT_EQ(agent->call({"resetPermissionsWithServices:clients:systemWide:reply:", R"(["Camera","Microphone"])",
                           R"(["com.example.app","/Applications/Example.app"])", "[true,false]"}),
              "{\"reply\":[true,\"\"]}\n");
    EXPECT_EQ(agent->runs(), (Runs{{"/usr/bin/tccutil", "reset", "Microphone", "/Applications/Example.app"},
                                   {"/usr/bin/tccutil", "reset", "Camera", "com.example.app"}}));
}

TEST_F(CareEndToEnd, ARemovedUserLaunchItemLandsInTheTrash) {
    const std::string plist = agent->home() + "/Library/LaunchAgents/com.example.agent.plist";
    writeFile(plist, "<plist/>");
    EXPECT_EQ(agent->call({"removeLaunchItemWithLabel:plist:domain:reply:", "\"com.example.agent\"", "\"" + plist + "\"",
                           "\"user\""}),
              "{\"reply\":[true,\"\"]}\n");
    const std::string trash = agent->home() + "/.local/share/Trash";
    EXPECT_EQ(readFile(trash + "/files/com.example.agent.plist"), "<plist/>");
    EXPECT_TRUE(fs::exists(trash + "/info/com.example.agent.plist.trashinfo"));
    EXPECT_EQ(agent->runs(), (Runs{{"/bin/launchctl", "disable", "gui/0/com.example.agent"},
                                   {"/bin/launchctl", "bootout", "gui/0", plist}}));
}

}  // namespace
}  // namespace companion::testing
