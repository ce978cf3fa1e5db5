#pragma once
// The one context through which the agent and every session reach the operating system.
//
// The binary builds it from the real system (`Platform::system`); tests build it from doubles
// and stand-in tool scripts. Code above this layer never asks the system around it directly.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/accessibility/accessibility.h"
#include "platform/dispatch/dispatch.h"
#include "platform/environment.h"
#include "platform/located_tool.h"
#include "platform/mounts/mount_wait.h"
#include "platform/preferences/preferences.h"
#include "platform/script/script_host.h"
#include "platform/tool_paths.h"
#include "platform/workspace/workspace.h"

namespace companion {

// Mount point to file-system type, as the system lists them now.
using MountTable = std::map<std::string, std::string>;

// One line of the system's mount table, escapes decoded.
struct MountTableEntry {
    std::string source;
    std::string mountPoint;
    std::string type;
    bool operator==(const MountTableEntry&) const = default;
};

struct Platform {
    dispatch::Dispatcher* dispatcher = nullptr;
    ToolPaths tools;
    // The user's home folder, without a trailing "/".
    std::function<std::string()> homeDirectory;
    // The agent's own process environment.
    std::function<Environment()> environment;
    std::function<MountTable()> mountTable;
    // Returns once the folder is in the mount table, the process behind the pidfd has ended or
    // the deadline has passed; tests replace it to stand in for the kernel's notice.
    std::function<mounts::MountWait(const std::string& mountPoint, int processFd,
                                    std::chrono::steady_clock::time_point deadline)>
        waitForMountPoint;
    // Running applications and the desktop's launcher.
    std::shared_ptr<workspace::Workspace> workspace;
    // Other applications' windows, the keyboard and the display, for the dialog assistant.
    std::shared_ptr<accessibility::Accessibility> accessibility;
    // Where scripts run, one at a time (through the core's script routines).
    std::shared_ptr<script::ScriptHost> scripts;
    // Held by the script that runs; copies of this context share it.
    std::shared_ptr<std::mutex> scriptTurn = std::make_shared<std::mutex>();
    // The user's preference domains.
    std::shared_ptr<preferences::PreferenceStore> preferences;
    // The version the agent reports; empty when the build carries none.
    std::string version;
    // Every tool run's time limit is multiplied by this; tests shorten limits through it instead
    // of waiting minutes for a tool to be stopped.
    double toolTimeLimitScale = 1.0;
    // The git that git status runs, searched for on first use and kept as long as this context.
    std::shared_ptr<LocatedTool> git = std::make_shared<LocatedTool>();
    // How long the agent stays without a connection before it ends itself; in-process tests
    // shorten it instead of waiting the minute.
    std::chrono::milliseconds idleExitDelay = std::chrono::seconds(60);
    // Ends the agent (the idle exit): stops the main queue, whose caller then stops in order;
    // tests record the call instead.
    std::function<void(int status)> exitProcess;

    dispatch::MainQueue& mainQueue() const { return dispatcher->main(); }

    static Platform system(dispatch::Dispatcher& dispatcher);
};

// The real answers, for `Platform::system` and for tests that want them.
std::string systemHomeDirectory();
Environment systemEnvironment();
MountTable systemMountTable();
// The same table line by line, with each mount's source.
std::vector<MountTableEntry> systemMountEntries();

}  // namespace companion
