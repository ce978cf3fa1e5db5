#include "storage/sync.h"

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

// The reply when rclone could not be started.
constexpr int32_t launchFailedStatus = -1;

// After rclone has ended, how long its log may stay open before the run replies without the rest.
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

// One launched sync, carried by the event loop from its launch to its reply: the log is read
// whenever it has something and the client keeps up, and the end is heard on rclone's pidfd.
// No thread waits for a run, however long it lasts.
class RunningSync {
public:
    using SyncReply = Reply<msg::rcloneSyncWithId>;

    // Takes charge of `process`: from here on the run replies, exactly once, when it is over.
    static void follow(std::shared_ptr<dispatch::EventLoop> loop, const std::weak_ptr<CompanionSession>& session,
                       const std::string& id, std::shared_ptr<process::SharedProcess> process, SyncReply reply) {
        auto run = std::make_shared<RunningSync>(Launched{}, loop, session, id, std::move(process), std::move(reply));
        // The run holds itself until it has replied; the loop is its only driver.
        run->self_ = run;
        if (!loop->post([run] { run->watch(); })) run->abandon();
    }

private:
    // Only `follow` makes a run: one that nobody drives would never reply.
    struct Launched {};

public:
    RunningSync(Launched, std::shared_ptr<dispatch::EventLoop> loop, const std::weak_ptr<CompanionSession>& session,
                const std::string& id, std::shared_ptr<process::SharedProcess> process, SyncReply reply)
        : loop_(std::move(loop)),
          session_(session),
          id_(id),
          process_(std::move(process)),
          log_(process_->takeErrorPipe()),
          reply_(std::move(reply)) {
        registration_.emplace(session, id, process_);
        setNonBlocking(log_.get());
    }

private:
    // ---- loop thread ----
    void watch() {
        exitWatch_ = loop_->watch(process_->pidFd(), dispatch::Interest::read, [this](dispatch::Readiness) { exited(); });
        watchLog();
    }

    void watchLog() {
        if (log_) logWatch_ = loop_->watch(log_.get(), dispatch::Interest::read, [this](dispatch::Readiness) { readLog(); });
    }

    void readLog() {
        ssize_t count = 0;
        do {
            count = ::read(log_.get(), buffer_.data(), buffer_.size());
        } while (count < 0 && errno == EINTR);
        if (count < 0 && errno == EAGAIN) return;
        if (count <= 0) return logEnded();
        const auto lines = splitter_.append(std::string_view(buffer_.data(), static_cast<size_t>(count)));
        auto client = this->client();
        if (lines.empty() || !client) return;
        client->syncOutput(id_, lines);
        if (!client->isBehind()) return;
        // rclone blocks on its full pipe meanwhile: the client's pace becomes the run's pace.
        logWatch_.reset();
        client->whenCaughtUp([weak = std::weak_ptr(self_)] {
            if (auto run = weak.lock()) run->watchLog();
        });
    }

    void logEnded() {
        logWatch_.reset();
        log_.reset();
        if (!exitWatch_) finish();
    }

    // A descendant that inherited the log may hold it open for as long as it lives: once rclone
    // has ended, its log gets a little while to drain, not for ever.
    void exited() {
        exitWatch_.reset();
        if (!log_) return finish();
        drainDeadline_ = loop_->after(logDrainLimitAfterExit, [this] { finish(); });
    }

    void finish() {
        logWatch_.reset();
        drainDeadline_.cancel();
        log_.reset();
        // The entry goes before the reply, so a client that has its answer finds the run gone.
        registration_.reset();
        // rclone has ended: reaping it takes no time.
        reply_(process_->wait().status());
        loop_->releaseAtEndOfPass(std::move(self_));
    }

    // Only when the loop has stopped (the agent is ending): the run cannot be followed, so it
    // does not go on either.
    void abandon() {
        process_->terminate();
        registration_.reset();
        reply_(process_->wait().status());
        self_.reset();
    }

    std::optional<ClientProxy> client() const {
        auto session = session_.lock();
        return session ? session->client() : std::nullopt;
    }

    std::shared_ptr<dispatch::EventLoop> loop_;
    std::weak_ptr<CompanionSession> session_;
    std::string id_;
    std::shared_ptr<process::SharedProcess> process_;
    UniqueFd log_;
    std::optional<SyncRegistration> registration_;
    SyncReply reply_;
    std::shared_ptr<RunningSync> self_;
    dispatch::EventLoop::Watch logWatch_;
    dispatch::EventLoop::Watch exitWatch_;
    dispatch::EventLoop::Deadline drainDeadline_;
    LogLineSplitter splitter_;
    std::vector<char> buffer_ = std::vector<char>(logChunkSize);
};

bool isServing(const std::weak_ptr<CompanionSession>& session) {
    auto owner = session.lock();
    return owner && !owner->hasStopped();
}

// Launches one sync and hands it to the loop, which replies with its status when it is over.
void startSync(std::shared_ptr<dispatch::EventLoop> loop, const std::weak_ptr<CompanionSession>& session,
               const std::string& id, const process::LaunchOptions& options, RunningSync::SyncReply reply) {
    // A run whose client has gone would go on changing the destination for nobody, and nobody
    // could cancel it: it is not started at all.
    if (!isServing(session)) return reply(launchFailedStatus);
    auto launched = process::Process::launch(options);
    auto* child = std::get_if<process::Process>(&launched);
    if (!child) return reply(launchFailedStatus);
    RunningSync::follow(std::move(loop), session, id,
                        std::make_shared<process::SharedProcess>(std::move(*child)), std::move(reply));
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
    session.submitHandingOn(std::move(reply), [loop = platform.dispatcher->loop(), owner = session.weak_from_this(),
                                               id = std::move(id),
                                               options = syncLaunchOptions(platform, std::move(*rclone), *plan)](
                                                  Reply<msg::rcloneSyncWithId>&& reply) {
        startSync(loop, owner, id, options, std::move(reply));
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
