#include "storage/mount.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>
#include <utility>
#include <variant>

#include "core/input_checks.h"
#include "core/tool_run.h"
#include "platform/log/log.h"
#include "platform/mounts/error_tail.h"
#include "platform/mounts/mount_command.h"
#include "platform/process/process.h"
#include "storage/connection.h"
#include "storage/rclone.h"
#include "storage/stale_mounts.h"

namespace companion::storage {

using namespace service;

namespace {

constexpr const char* logFolder = "/Library/Logs/Tavro";
constexpr std::string_view logFilePrefix = "rclone-";
constexpr std::string_view logFileSuffix = ".log";
constexpr size_t logNameCharacters = 8;
// The identifier is the client's: a character that would leave the log folder, or cut the path
// short, must not reach the file name.
constexpr std::string_view unsafeNameCharacters{"/\0", 2};
constexpr char safeNameCharacter = '_';

constexpr const char* volumeNameOption = "--volname";
// Directory listings are kept 30 s and the remote is asked for changes every minute.
constexpr std::string_view commonOptions[] = {
    "--dir-cache-time", "30s", "--poll-interval", "1m", "--log-file",
};
// Notices and worse reach the log, from which a failed mount is reported.
constexpr std::string_view logLevelOptions[] = {"--log-level", "NOTICE"};
// A server that stops answering makes calls fail after 30 s instead of hanging the caller. The
// platform carries these and "--inplace" in its own terms (platform/mounts/mount_command.h).
constexpr std::string_view networkMountOptions[] = {"-o", "soft", "-o", "intr", "-o", "deadtimeout=30"};
constexpr std::string_view readOnlyOptions[] = {"--read-only", "--vfs-cache-mode", "off"};
// Writes go through a local cache of at most 1 GiB and reach the remote 2 s after a file is
// closed, written over in place.
constexpr std::string_view writableOptions[] = {
    "--vfs-cache-mode", "writes", "--vfs-cache-max-size", "1G", "--vfs-write-back", "2s", "--inplace",
};

constexpr std::string_view failureMarkers[] = {"ERROR", "Fatal", "CRITICAL"};
constexpr std::string_view sftpMountPath = "/";
// How long a mount may take to appear before it counts as failed.
constexpr auto mountDeadline = std::chrono::seconds(25);
// Mounting over a folder that holds files would hide them for as long as the mount lasts, and
// not every rclone refuses to.
constexpr std::string_view notEmptyText = "mount point is not empty: ";
// A folder that is a mount point already would pass the wait at once, though the new rclone
// fails on it: a dead FUSE mount, or one another process holds.
constexpr std::string_view alreadyMountedText = "mount point is already mounted: ";
constexpr std::string_view failedMountText = "mount failed: ";

bool hasFailureMarker(std::string_view line) {
    for (std::string_view marker : failureMarkers) {
        if (line.find(marker) != std::string_view::npos) return true;
    }
    return false;
}

// The identifier's first characters, counted as UTF-8 code points so that no character is cut.
std::string logNamePart(std::string_view id) {
    size_t characters = 0;
    size_t end = 0;
    for (; end < id.size(); ++end) {
        const bool startsCharacter = (static_cast<unsigned char>(id[end]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == logNameCharacters) break;
    }
    std::string part(id.substr(0, end));
    for (char& c : part) {
        if (unsafeNameCharacters.find(c) != std::string_view::npos) c = safeNameCharacter;
    }
    return part;
}

bool isMounted(const Platform& platform, const std::string& mountPoint) {
    return platform.mountTable().contains(mountPoint);
}

template <size_t N>
void append(std::vector<std::string>& arguments, const std::string_view (&options)[N]) {
    arguments.insert(arguments.end(), std::begin(options), std::end(options));
}

template <size_t N>
void appendCarried(std::vector<std::string>& arguments, const std::string_view (&options)[N]) {
    auto carried = mounts::platformMountOptions(options);
    arguments.insert(arguments.end(), std::make_move_iterator(carried.begin()), std::make_move_iterator(carried.end()));
}

std::string_view firstLine(std::string_view text) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        if (end > 0) return text.substr(0, end);
        text.remove_prefix(1);
    }
    return {};
}

bool holdsFiles(const std::string& folder) {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    return !error && entries != std::filesystem::directory_iterator();
}

std::string readLog(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    return decodeUtf8Lossy(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
}

// Folder errors are not reported: a folder that exists already is the usual case, and anything
// worse makes rclone fail with a log line that says so.
void prepareFolders(const MountPlan& plan) {
    std::error_code ignored;
    std::filesystem::create_directories(plan.mountPoint, ignored);
    std::filesystem::create_directories(std::filesystem::path(plan.logFile).parent_path(), ignored);
    std::filesystem::remove(plan.logFile, ignored);
}

process::LaunchOptions mountLaunchOptions(const Platform& platform, const std::string& rclone,
                                          const MountPlan& plan, const Environment& secrets) {
    process::LaunchOptions options;
    options.executable = rclone;
    options.arguments = mountArguments(plan);
    options.environment = rcloneEnvironment(platform, secrets);
    options.input = process::Stream::inherit;
    options.output = process::Stream::nullDevice;
    // Read only while the mount comes up, to say why it did not (see `mountFailure`).
    options.error = process::Stream::pipe;
    return options;
}

// Lets a process that is no longer wanted end in the background: it is told to terminate and
// reaped when it goes, without anyone waiting for it.
void abandon(const Platform& platform, const std::shared_ptr<process::SharedProcess>& process) {
    process->terminate();
    process->onExit(*platform.dispatcher->loop(), [](process::Termination) {});
}

// True for a mount whose file-system process is gone: the kernel answers for it at once.
bool isDeadMount(const std::string& mountPoint) {
    struct stat status {};
    return ::stat(mountPoint.c_str(), &status) != 0 && errno == ENOTCONN;
}

// rclone unmounts as it ends; one killed, or stopped before it was fully up, leaves a dead FUSE
// mount ("transport endpoint is not connected") that would hide the folder and refuse the next
// mount there: released lazily. Only a dead one: by now a new mount may be live at the same
// folder. Off the loop's thread, since looking at a live mount asks its process.
void releaseIfLeft(const Platform& platform, const std::string& mountPoint) {
    platform.dispatcher->global().async([&platform, mountPoint] {
        if (isMounted(platform, mountPoint) && isDeadMount(mountPoint))
            runTool(platform, fuseReleaseRun(platform, mountPoint, true));
    });
}

// Tells the client, while it is there, that the mount `id` ended, and drops the entry this
// process still holds.
void watchMountEnd(const Platform& platform, const std::weak_ptr<CompanionSession>& session, const std::string& id,
                   const std::shared_ptr<process::SharedProcess>& process, const std::string& mountPoint) {
    process->onExit(*platform.dispatcher->loop(), [&platform, session, id, mountPoint,
                                                    held = std::weak_ptr(process)](process::Termination) {
        releaseIfLeft(platform, mountPoint);
        auto owner = session.lock();
        if (!owner) return;
        if (auto still = held.lock()) owner->removeMount(id, still);
        if (auto client = owner->client()) client->send<msg::rcloneMountEnded>({id});
    });
}

// A mount whose session is gone keeps running, for the stale-mount list to find later; it is
// reaped when it ends.
void leaveRunning(const Platform& platform, const std::shared_ptr<process::SharedProcess>& process,
                  const std::string& mountPoint) {
    process->onExit(*platform.dispatcher->loop(),
                    [&platform, mountPoint](process::Termination) { releaseIfLeft(platform, mountPoint); });
}

// A mount that came up: entered in the table and watched until it ends. When the connection
// has gone meanwhile but the session is still there, nobody would ever end it, so it is ended
// here as the clean-up would have.
void adoptMount(const Platform& platform, const std::weak_ptr<CompanionSession>& session, const std::string& id,
                const std::shared_ptr<process::SharedProcess>& process, const std::string& mountPoint) {
    auto owner = session.lock();
    if (!owner) return leaveRunning(platform, process, mountPoint);
    MountEntry entry{process, mountPoint};
    if (!owner->registerMount(id, entry)) return endMount(*owner, entry);
    watchMountEnd(platform, session, id, process, mountPoint);
}

std::tuple<bool, std::string> refuseMount(const MountPlan& plan, const std::string& why) {
    log::warn(log::Kind::mountFailed, std::string(failedMountText) + plan.mountPoint + ": " + why);
    return {false, why};
}

std::tuple<bool, std::string> runMount(const std::weak_ptr<CompanionSession>& session, const Platform& platform,
                                       const std::string& id, const MountPlan& plan,
                                       const process::LaunchOptions& options) {
    prepareFolders(plan);
    if (isMounted(platform, plan.mountPoint))
        return refuseMount(plan, std::string(alreadyMountedText) + plan.mountPoint);
    if (holdsFiles(plan.mountPoint)) return refuseMount(plan, std::string(notEmptyText) + plan.mountPoint);
    auto launched = process::Process::launch(options);
    if (auto* error = std::get_if<std::string>(&launched)) return refuseMount(plan, *error);
    auto process = std::make_shared<process::SharedProcess>(std::move(std::get<process::Process>(launched)));
    auto errorTail = mounts::ErrorTail::follow(platform.dispatcher->loop(), process->takeErrorPipe());

    platform.waitForMountPoint(plan.mountPoint, process->pidFd(), mounts::Clock::now() + mountDeadline);
    if (isMounted(platform, plan.mountPoint)) {
        errorTail->stopKeeping();
        adoptMount(platform, session, id, process, plan.mountPoint);
        return {true, ""};
    }
    abandon(platform, process);
    return refuseMount(plan, mountFailure(readLog(plan.logFile), errorTail->text()));
}

// ---- the messages ----

void rcloneMountWithId(CompanionSession& session, Args<msg::rcloneMountWithId> args,
                       Reply<msg::rcloneMountWithId> reply) {
    auto& [id, description, mountPoint, volumeName, readOnly] = args;
    const Platform& platform = session.platform();
    if (!isAllowedMountPoint(platform, mountPoint)) return reply.refuse();
    const std::string standardized = standardizePath(mountPoint);
    if (hasControlCharacters(volumeName)) return reply.refuse();
    const std::string path = isSftpDescription(description) ? std::string(sftpMountPath) : descriptionPath(description);
    auto resolved = resolveConnection(platform, description, path);
    if (!resolved) return reply.refuse();
    auto rclone = locateRclone(platform);
    if (!rclone) return reply.refuse();

    MountPlan plan{resolved->remote, standardized, std::move(volumeName), mountLogFile(platform.homeDirectory(), id),
                   readOnly};
    auto options = mountLaunchOptions(platform, *rclone, plan, resolved->environment);
    session.submit(std::move(reply), [owner = session.weak_from_this(), &platform, id = std::move(id),
                                      plan = std::move(plan), options = std::move(options)] {
        return runMount(owner, platform, id, plan, options);
    });
}

// Ending the process is the whole of the stop: rclone unmounts as it goes, and its end still
// reaches the client through the watch on it.
void stopRcloneMountWithId(CompanionSession& session, Args<msg::stopRcloneMountWithId> args) {
    auto entry = session.removeMount(std::get<0>(args));
    if (entry && entry->process->isRunning()) entry->process->terminate();
}

}  // namespace

std::string mountLogFile(std::string_view home, std::string_view id) {
    std::string file(home);
    file += logFolder;
    file += '/';
    file += logFilePrefix;
    file += logNamePart(id);
    file += logFileSuffix;
    return file;
}

std::vector<std::string> mountArguments(const MountPlan& plan) {
    std::vector<std::string> arguments{std::string(mounts::rcloneMountCommand), plan.remote, plan.mountPoint, volumeNameOption, plan.volumeName};
    append(arguments, commonOptions);
    arguments.push_back(plan.logFile);
    append(arguments, logLevelOptions);
    appendCarried(arguments, networkMountOptions);
    if (plan.readOnly)
        appendCarried(arguments, readOnlyOptions);
    else
        appendCarried(arguments, writableOptions);
    return arguments;
}

std::string failureLine(std::string_view log) {
    std::string_view last;
    std::string_view rest = log;
    std::string_view marked;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.empty()) continue;
        last = line;
        if (hasFailureMarker(line)) marked = line;
    }
    return std::string(marked.empty() ? last : marked);
}

std::string mountFailure(std::string_view log, std::string_view errorOutput) {
    const std::string logged = failureLine(log);
    if (hasFailureMarker(logged)) return logged;
    const std::string_view printed = firstLine(errorOutput);
    if (!printed.empty()) return std::string(printed);
    return logged;
}

void endMount(CompanionSession& session, const MountEntry& mount) {
    const Platform& platform = session.platform();
    if (isMounted(platform, mount.mountPoint)) runTool(platform, unmountRun(platform, mount.mountPoint, false));
    if (isMounted(platform, mount.mountPoint)) runTool(platform, unmountRun(platform, mount.mountPoint, true));
    if (mount.process && mount.process->isRunning()) mount.process->terminate();
}

void installMountServices(Services& services) {
    services.handlers.rcloneMountWithId = &rcloneMountWithId;
    services.handlers.stopRcloneMountWithId = &stopRcloneMountWithId;
    services.endMount = &endMount;
    installStaleMountServices(services);
}

}  // namespace companion::storage
