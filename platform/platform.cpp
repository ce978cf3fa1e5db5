#include "platform/platform.h"

#include "platform/accessibility/desktop.h"
#include "platform/install_layout.h"
#include "platform/process/process.h"

#include <mntent.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

extern char** environ;

namespace companion {

namespace {
constexpr const char* mountTablePath = "/proc/self/mounts";
// A line of the mount table is at most this long; longer ones (a vault's escaped path as its
// source, a mount point deep in a tree) must still be read whole.
constexpr size_t mountLineLimit = 16384;

// The described disk-image tool where the system has it (or a test lays one there), else ours.
std::string diskImageTool(const std::string& described) {
    if (process::isExecutableFile(described)) return described;
    return (layout::privateLibraryFolder() / ownDiskImageTool).string();
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}
}  // namespace

std::string systemHomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return withoutTrailingSlashes(home);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return withoutTrailingSlashes(found->pw_dir);
    return "/";
}

Environment systemEnvironment() {
    Environment result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        result.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return result;
}

std::vector<MountTableEntry> systemMountEntries() {
    std::vector<MountTableEntry> entries;
    std::unique_ptr<FILE, int (*)(FILE*)> file(setmntent(mountTablePath, "re"), endmntent);
    if (!file) return entries;
    mntent entry{};
    std::vector<char> buffer(mountLineLimit);
    // getmntent_r decodes the escapes the kernel writes (\040 for a space, and the like).
    while (getmntent_r(file.get(), &entry, buffer.data(), static_cast<int>(buffer.size())))
        entries.push_back({entry.mnt_fsname, entry.mnt_dir, entry.mnt_type});
    return entries;
}

MountTable systemMountTable() {
    MountTable table;
    for (MountTableEntry& entry : systemMountEntries()) table[std::move(entry.mountPoint)] = std::move(entry.type);
    return table;
}

Platform Platform::system(dispatch::Dispatcher& dispatcher) {
    Platform p;
    p.dispatcher = &dispatcher;
    p.homeDirectory = systemHomeDirectory;
    p.tools.hdiutil = diskImageTool(p.tools.hdiutil);
    p.environment = systemEnvironment;
    p.mountTable = systemMountTable;
    p.waitForMountPoint = [](const std::string& mountPoint, int processFd, mounts::Clock::time_point deadline) {
        return mounts::waitForMountPoint(mountPoint, processFd, deadline, systemMountTable);
    };
    // One desktop behind both, loaded when the first of them needs it.
    auto desktop = accessibility::lazySystemDesktop();
    p.workspace = workspace::systemWorkspace(desktop);
    p.accessibility = accessibility::systemAccessibility(desktop);
    p.scripts = script::systemScriptHost({p.tools.shell, p.tools.pkexec, [] { return ::geteuid() == 0; }});
    p.preferences = std::make_shared<preferences::PreferenceStore>(systemHomeDirectory);
#ifdef COMPANION_VERSION
    p.version = COMPANION_VERSION;
#endif
    // Whoever runs the main queue leaves in order once it returns; ending the process from
    // inside a task would destroy what other threads still use.
    p.exitProcess = [&dispatcher](int) { dispatcher.main().stop(); };
    return p;
}

}  // namespace companion
