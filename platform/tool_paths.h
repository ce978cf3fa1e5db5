#pragma once
// Where the system tools live: the one table of fixed tool paths and search lists.
//
// The defaults are the paths the agent is built around; only tools that live elsewhere on this
// system differ. Tests point the entries at stand-in scripts.

#include <string>
#include <vector>

namespace companion {

// The disk-image tool of our own, in the private library folder; it accepts the invocations the
// agent makes of the described one.
inline constexpr const char* ownDiskImageTool = "tavro-companion-image";

struct ToolPaths {
    // Where it is absent (Linux), `Platform::system` runs our own disk-image tool instead.
    std::string hdiutil = "/usr/bin/hdiutil";
    // Linux keeps umount in /bin rather than /sbin.
    std::string umount = "/bin/umount";
    // Releases a FUSE mount, which the user's own umount cannot.
    std::string fusermount = "/usr/bin/fusermount3";
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

    // The shell of the privileged statement, and what raises it to root when the agent is not.
    std::string shell = "/bin/sh";
    std::string pkexec = "/usr/bin/pkexec";

    // Where the system-wide launch agents and daemons lie.
    std::string launchAgentsFolder = "/Library/LaunchAgents";
    std::string launchDaemonsFolder = "/Library/LaunchDaemons";

    // The folders whose per-user subfolder holds the user's removable disks: Debian's, then
    // udisks' elsewhere.
    std::vector<std::string> removableMediaFolders = {"/media", "/run/media"};

    // The maintenance tools.
    std::string dscacheutil = "/usr/bin/dscacheutil";
    std::string mdutil = "/usr/bin/mdutil";
    std::string purge = "/usr/sbin/purge";
    std::string lsregister =
        "/System/Library/Frameworks/CoreServices.framework/Frameworks/LaunchServices.framework/Support/lsregister";
    std::string qlmanage = "/usr/bin/qlmanage";
    std::string diskutil = "/usr/sbin/diskutil";
    std::string atsutil = "/usr/bin/atsutil";

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

    // Where git may be, in the order tried. Linux has git in /usr/bin and no xcode-select, so
    // /usr/bin/git is tried last here.
    std::vector<std::string> gitCandidates = {
        "/opt/homebrew/bin/git",
        "/usr/local/bin/git",
        "/Library/Developer/CommandLineTools/usr/bin/git",
        "/usr/bin/git",
    };
    // What is run when the developer folder that xcode-select names holds a git: the system's
    // own entry point, not the file that was tested.
    std::string selectedGit = "/usr/bin/git";
};

}  // namespace companion
