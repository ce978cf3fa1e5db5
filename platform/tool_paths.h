#pragma once
// Where the system tools live: the one table of fixed tool paths and search lists.
//
// The defaults are the paths the agent is built around; only tools that live elsewhere on this
// system differ. Tests point the entries at stand-in scripts.

#include <string>
#include <vector>

namespace companion {

struct ToolPaths {
    std::string hdiutil = "/usr/bin/hdiutil";
    // Linux keeps umount in /bin rather than /sbin.
    std::string umount = "/bin/umount";
    std::string ps = "/bin/ps";
    std::string ssh = "/usr/bin/ssh";
    std::string launchctl = "/bin/launchctl";
    std::string mv = "/bin/mv";
    std::string tccutil = "/usr/bin/tccutil";
    std::string xcodeSelect = "/usr/bin/xcode-select";
    std::string tmutil = "/usr/bin/tmutil";
    std::string fileproviderctl = "/usr/bin/fileproviderctl";
    std::string killall = "/usr/bin/killall";
    // The setup window's service manager, the desktop's address opener, and the launcher of an
    // application's desktop entry.
    std::string systemctl = "/usr/bin/systemctl";
    std::string xdgOpen = "/usr/bin/xdg-open";
    std::string gio = "/usr/bin/gio";

    // Where rclone may be, in the order tried: absolute paths first, then paths below the home
    // folder (joined to it by plain concatenation).
    std::vector<std::string> rcloneAbsoluteCandidates = {
        "/opt/homebrew/bin/rclone",
        "/usr/local/bin/rclone",
        "/usr/bin/rclone",
    };
    std::vector<std::string> rcloneHomeCandidates = {
        "/Library/Application Support/Tavro/bin/rclone",
        "/Library/Containers/es.vextralune.tavro/Data/Library/Application Support/Tavro/bin/rclone",
    };
    // The search path every rclone run gets, whatever the agent was started with.
    std::string rcloneSearchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
};

}  // namespace companion
