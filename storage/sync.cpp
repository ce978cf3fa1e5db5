#include "storage/sync.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>
#include <tuple>
#include <utility>
#include <variant>

#include "core/command_runner.h"
#include "core/input_checks.h"
#include "platform/process/process.h"
#include "storage/rclone.h"

namespace companion::storage {

using namespace service;

namespace {

constexpr const char* mirrorCommand = "sync";
constexpr const char* copyCommand = "copy";
// Statistics once a second at the level that is always logged, every record as one JSON line,
// and empty folders carried over too.
constexpr std::string_view fixedOptions[] = {
    "--stats", "1s", "--stats-log-level", "NOTICE", "--use-json-log", "--create-empty-src-dirs",
};
constexpr const char* checksumOption = "--checksum";
constexpr const char* excludeOption = "--exclude";
constexpr const char* backupDirOption = "--backup-dir";
constexpr const char* dryRunOption = "--dry-run";

constexpr std::string_view trashFolder = ".vrel-corbeille/";
// Keeps a trash folder at the top of the destination out of the mirror, so a trash root that
// lies inside the destination is neither copied nor deleted.
constexpr const char* trashExclude = "/.vrel-corbeille/**";

constexpr const char* internetDateTimeFormat = "%Y-%m-%dT%H:%M:%SZ";
// Room for the formatted time stamp, with space to spare for a year beyond 9999.
constexpr size_t timestampCapacity = 32;
constexpr char timestampColon = ':';
constexpr char timestampColonReplacement = '-';

constexpr char remoteSeparator = ':';
constexpr char pathSeparator = '/';
constexpr char lineFeed = '\n';

// The reply when rclone could not be started.
constexpr int32_t launchFailedStatus = -1;

// After rclone has ended, how long its log may stay open before it is abandoned: a descendant
// that inherited the pipe must not hold the reply for as long as it lives.
constexpr auto logDrainLimitAfterExit = std::chrono::seconds(2);
constexpr size_t logChunkSize = 64 * 1024;

std::string lastComponent(std::string_view path) {
    const size_t slash = path.rfind(pathSeparator);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// ---- checks ----

std::set<std::string> configuredRemoteNames(const Platform& platform) {
    std::set<std::string> names;
    for (const RemoteEntry& remote : listRemotes(platform)) names.insert(remote.name);
    return names;
}

// Only a named remote from rclone's own configuration will do: an empty name would be an
// on-the-fly remote description, which the client may not slip in here.
bool namesConfiguredRemote(std::string_view location, const std::set<std::string>& remotes) {
    if (hasControlCharacters(location)) return false;
    const size_t colon = location.find(remoteSeparator);
    if (colon == std::string_view::npos) return false;
    const std::string_view name = location.substr(0, colon);
    // The name rule also keeps a location from ever reading as an option.
    return isRemoteName(name) && remotes.contains(std::string(name));
}

bool hasRemoteShape(std::string_view location) {
    return !hasControlCharacters(location) && location.find(remoteSeparator) != std::string_view::npos;
}

// The checks that need no tool come first, so a request refused by them costs no rclone run.
std::optional<SyncPlan> checkedPlan(const Platform& platform, SyncPlan requested) {
    auto source = sanitizedDirectory(requested.source);
    if (!source) return std::nullopt;
    requested.source = std::move(*source);
    if (!hasRemoteShape(requested.destination)) return std::nullopt;
    if (requested.trashRoot && !hasRemoteShape(*requested.trashRoot)) return std::nullopt;
    for (const std::string& pattern : requested.excludes) {
        if (hasControlCharacters(pattern)) return std::nullopt;
    }
    const auto remotes = configuredRemoteNames(platform);
    if (!namesConfiguredRemote(requested.destination, remotes)) return std::nullopt;
    if (requested.trashRoot && !namesConfiguredRemote(*requested.trashRoot, remotes)) return std::nullopt;
    return requested;
}

// ---- the running sync ----

// Keeps a launched sync in its session's table for as long as the run lasts, however it ends.
class SyncRegistration {
public:
    SyncRegistration(std::weak_ptr<CompanionSession> session, std::string id,
                     std::shared_ptr<process::SharedProcess> process)
        : session_(std::move(session)), id_(std::move(id)), process_(std::move(process)) {
        // The session may have ended, or run its clean-up, between the check before the launch
        // and now; nobody would ever stop the process, so stop it here.
        auto owner = session_.lock();
        if (!owner || !owner->registerSync(id_, process_)) process_->terminate();
    }
    SyncRegistration(const SyncRegistration&) = delete;
    SyncRegistration& operator=(const SyncRegistration&) = delete;

    // Only our own entry goes: a later sync under the same identifier keeps its entry, so it
    // can still be cancelled and is still stopped when the connection ends.
    ~SyncRegistration() {
        auto owner = session_.lock();
        if (owner) owner->removeSync(id_, process_);
    }

private:
    std::weak_ptr<CompanionSession> session_;
    std::string id_;
    std::shared_ptr<process::SharedProcess> process_;
};

enum class Readiness { readable, exited, quiet, failed };

// Waits for the log to have something, or for the process behind `pidFd` to end (-1: no longer
// watched), without waking in between.
Readiness waitForLogOrExit(int log, int pidFd, int timeoutMs) {
    pollfd entries[] = {{log, POLLIN, 0}, {pidFd, POLLIN, 0}};
    const nfds_t watched = pidFd >= 0 ? 2 : 1;
    for (;;) {
        const int ready = ::poll(entries, watched, timeoutMs);
        if (ready == 0) return Readiness::quiet;
        if (ready < 0 && errno != EINTR) return Readiness::failed;
        if (ready < 0) continue;
        return entries[0].revents != 0 ? Readiness::readable : Readiness::exited;
    }
}

// Sends rclone's log to the client as it arrives, one callback per complete line, in order.
class LogForwarder {
public:
    LogForwarder(std::weak_ptr<CompanionSession> session, std::string id)
        : session_(std::move(session)), id_(std::move(id)) {}

    // Returns at the end of the log stream, or once `process` has ended and its log has stayed
    // open past the drain limit.
    void forward(const UniqueFd& log, const process::SharedProcess& process) {
        std::optional<std::chrono::steady_clock::time_point> abandonAt;
        for (;;) {
            const int exitWatch = abandonAt ? -1 : process.pidFd();
            const Readiness readiness = waitForLogOrExit(log.get(), exitWatch, pollTimeoutMs(abandonAt));
            if (readiness == Readiness::failed) return;
            if (readiness == Readiness::readable) {
                if (!readChunk(log)) return;
                continue;
            }
            if (!abandonAt) {
                abandonAt = std::chrono::steady_clock::now() + logDrainLimitAfterExit;
                continue;
            }
            if (std::chrono::steady_clock::now() >= *abandonAt) return;
        }
    }

private:
    // Until the process ends, only the log or the end wakes the forwarder.
    static int pollTimeoutMs(const std::optional<std::chrono::steady_clock::time_point>& abandonAt) {
        if (!abandonAt) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*abandonAt - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

    // False at the end of the stream or on a read error.
    bool readChunk(const UniqueFd& log) {
        ssize_t count = 0;
        do {
            count = ::read(log.get(), buffer_.data(), buffer_.size());
        } while (count < 0 && errno == EINTR);
        if (count <= 0) return false;
        send(splitter_.append(std::string_view(buffer_.data(), static_cast<size_t>(count))));
        return true;
    }

    void send(const std::vector<std::string>& lines) const {
        if (lines.empty()) return;
        auto session = session_.lock();
        if (!session) return;
        auto client = session->client();
        if (!client) return;
        client->syncOutput(id_, lines);
    }

    std::weak_ptr<CompanionSession> session_;
    std::string id_;
    LogLineSplitter splitter_;
    std::vector<char> buffer_ = std::vector<char>(logChunkSize);
};

bool isServing(const std::weak_ptr<CompanionSession>& session) {
    auto owner = session.lock();
    return owner && !owner->hasStopped();
}

// Runs one sync to its end; the status it reports is the reply.
int32_t runSync(const std::weak_ptr<CompanionSession>& session, const std::string& id,
                const process::LaunchOptions& options) {
    // A run whose client has gone would go on changing the destination for nobody, and nobody
    // could cancel it: it is not started at all.
    if (!isServing(session)) return launchFailedStatus;
    auto launched = process::Process::launch(options);
    auto* child = std::get_if<process::Process>(&launched);
    if (!child) return launchFailedStatus;
    auto running = std::make_shared<process::SharedProcess>(std::move(*child));
    const UniqueFd log = running->takeErrorPipe();
    SyncRegistration registration(session, id, running);
    LogForwarder(session, id).forward(log, *running);
    return running->wait().status();
}

process::LaunchOptions syncLaunchOptions(const Platform& platform, std::string rclone, const SyncPlan& plan) {
    process::LaunchOptions options;
    options.executable = std::move(rclone);
    options.arguments = syncArguments(plan, std::chrono::system_clock::now());
    options.environment = rcloneEnvironment(platform);
    // Nobody is there to answer rclone (a configuration password prompt, say): it reads the
    // end of input at once instead of waiting on whatever the agent was started with.
    options.input = process::Stream::nullDevice;
    options.output = process::Stream::nullDevice;
    options.error = process::Stream::pipe;
    return options;
}

// ---- the messages ----

void rcloneSyncWithId(CompanionSession& session, Args<msg::rcloneSyncWithId> args,
                      Reply<msg::rcloneSyncWithId> reply) {
    auto& [id, source, destination, mirror, checksum, excludes, trashRoot, dryRun] = args;
    const Platform& platform = session.platform();
    auto plan = checkedPlan(platform, SyncPlan{std::move(source), std::move(destination), mirror, checksum,
                                               std::move(excludes), std::move(trashRoot), dryRun});
    if (!plan) return reply.refuse();
    auto rclone = locateRclone(platform);
    if (!rclone) return reply.refuse();

    // The run may outlast its session; it reaches the session only while the session lives.
    session.submit(std::move(reply), [owner = session.weak_from_this(), id = std::move(id),
                                      options = syncLaunchOptions(platform, std::move(*rclone), *plan)] {
        return std::tuple<int32_t>{runSync(owner, id, options)};
    });
}

// The entry stays until the run itself ends, so its reply still carries the status.
void cancelSyncWithId(CompanionSession& session, Args<msg::cancelSyncWithId> args) {
    auto process = session.findSync(std::get<0>(args));
    if (process && process->isRunning()) process->terminate();
}

}  // namespace

std::string trashTimestamp(SystemTime moment) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[timestampCapacity];
    std::string stamp(text, std::strftime(text, sizeof text, internetDateTimeFormat, &utc));
    std::replace(stamp.begin(), stamp.end(), timestampColon, timestampColonReplacement);
    return stamp;
}

std::string trashDirectory(std::string_view trashRoot, std::string_view source, SystemTime moment) {
    std::string directory(trashRoot);
    // A bare remote ("remote:") or a root given with its slash ("remote:/") needs no separator;
    // a doubled one would make an empty folder name on remotes that keep names as given.
    if (!directory.ends_with(remoteSeparator) && !directory.ends_with(pathSeparator)) directory += pathSeparator;
    directory += trashFolder;
    directory += lastComponent(source);
    directory += pathSeparator;
    directory += trashTimestamp(moment);
    return directory;
}

std::vector<std::string> syncArguments(const SyncPlan& plan, SystemTime moment) {
    std::vector<std::string> arguments{plan.mirror ? mirrorCommand : copyCommand, plan.source, plan.destination};
    arguments.insert(arguments.end(), std::begin(fixedOptions), std::end(fixedOptions));
    if (plan.checksum) arguments.emplace_back(checksumOption);
    for (const std::string& pattern : plan.excludes) {
        arguments.emplace_back(excludeOption);
        arguments.push_back(pattern);
    }
    if (plan.mirror && plan.trashRoot) {
        arguments.emplace_back(backupDirOption);
        arguments.push_back(trashDirectory(*plan.trashRoot, plan.source, moment));
        arguments.emplace_back(excludeOption);
        arguments.emplace_back(trashExclude);
    }
    if (plan.dryRun) arguments.emplace_back(dryRunOption);
    return arguments;
}

std::vector<std::string> LogLineSplitter::append(std::string_view chunk) {
    pending_.append(chunk);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = pending_.find(lineFeed); end != std::string::npos; end = pending_.find(lineFeed, start)) {
        lines.push_back(decodeUtf8Lossy(pending_.data() + start, end - start));
        start = end + 1;
    }
    pending_.erase(0, start);
    return lines;
}

void installSyncServices(Services& services) {
    services.handlers.rcloneSyncWithId = &rcloneSyncWithId;
    services.handlers.cancelSyncWithId = &cancelSyncWithId;
}

}  // namespace companion::storage
