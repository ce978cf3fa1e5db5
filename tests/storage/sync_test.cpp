#include "storage/sync.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <random>
#include <regex>
#include <thread>

#include "storage/rclone_stand_in.h"
#include "support/files.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using service::msg::cancelSyncWithId;
using service::msg::rcloneSyncWithId;
using Request = rcloneSyncWithId::Args::Tuple;

const fs::path syncHelpers = fs::path(COMPANION_TEST_HELPERS) / "sync";
// Generous: these bound waits for things that take milliseconds.
constexpr auto patience = 30s;
constexpr int32_t terminatedBySigterm = 15;

using namespace companion::testing;

// ---- the argument list ----

const std::vector<std::string> logOptions = {"--stats", "1s", "--stats-log-level", "NOTICE", "--use-json-log",
                                             "--create-empty-src-dirs"};

std::vector<std::string> expected(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), logOptions.begin(), logOptions.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(SyncArguments, BuildTheListInOrder) {
    // 2026-03-14T09:26:53.750Z: the trash folder names the whole second, in UTC.
    const SystemTime moment = std::chrono::sys_days{std::chrono::year{2026} / 3 / 14} + 9h + 26min + 53s + 750ms;
    const std::pair<SyncPlan, std::vector<std::string>> cases[] = {
        {{"/Users/ana/Photos", "cloud:backup", false, false, {}, "cloud:trash", false},
         expected({"copy", "/Users/ana/Photos", "cloud:backup"}, {})},
        {{"/Users/ana/Photos", "cloud:backup", true, false, {}, "cloud:old", false},
         expected({"sync", "/Users/ana/Photos", "cloud:backup"},
                  {"--backup-dir", "cloud:old/.vrel-corbeille/Photos/2026-03-14T09-26-53Z", "--exclude",
                   "/.vrel-corbeille/**"})},
        {{"/Users/ana/Photos", "cloud:backup", true, false, {}, "cloud:", false},
         expected({"sync", "/Users/ana/Photos", "cloud:backup"},
                  {"--backup-dir", "cloud:.vrel-corbeille/Photos/2026-03-14T09-26-53Z", "--exclude",
                   "/.vrel-corbeille/**"})},
        {{"/srv/data", "nas:/data", true, true, {"*.tmp", "/cache/**"}, "nas:/", true},
         expected({"sync", "/srv/data", "nas:/data"},
                  {"--checksum", "--exclude", "*.tmp", "--exclude", "/cache/**", "--backup-dir",
                   "nas:/.vrel-corbeille/data/2026-03-14T09-26-53Z", "--exclude", "/.vrel-corbeille/**", "--dry-run"})},
    };
    for (const auto& [plan, arguments] : cases)
        EXPECT_EQ(syncArguments(plan, moment), arguments) << plan.trashRoot.value_or("");
}

TEST(LogLineSplitter, SendsCompleteLinesOnly) {
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"{\"msg\":\"fir", "st\"}\n"}, {"{\"msg\":\"first\"}"}},
        {{"a\n\n\r\nb\r\n"}, {"a", "", "\r", "b\r"}},
        {{"done\nhalf", " a line"}, {"done"}},
        {{"caf\xC3", "\xA9 \xFF\n"}, {"caf\xC3\xA9 \xEF\xBF\xBD"}},
    };
    for (const auto& [chunks, expected] : cases) {
        LogLineSplitter splitter;
        std::vector<std::string> lines;
        for (const auto& chunk : chunks)
            for (auto& line : splitter.append(chunk)) lines.push_back(std::move(line));
        EXPECT_EQ(lines, expected) << chunks.front();
    }
}

// ---- requests ----

// Where a session finds its rclone, given its scratch folder.
using RcloneChoice = std::function<fs::path(const fs::path& scratch)>;

// The stand-in of tests/syncHelpers/sync, linked into the scratch folder under the name of what a
// sync run is to do there; it keeps its records beside the link.
RcloneChoice standIn(const std::string& behaviour) {
    return [=](const fs::path& scratch) {
        fs::create_symlink(syncHelpers / "rclone_standin", scratch / behaviour);
        return scratch / behaviour;
    };
}

// A session whose rclone has a configuration of its own holding the local remote "here".
class SyncSession {
public:
    explicit SyncSession(const RcloneChoice& choose,
                         dispatch::Clock::duration idleLifetime = dispatch::Dispatcher::defaultIdleLifetime)
        : harness(idleLifetime) {
        useRcloneConfig(harness.platform, root() / "rclone.conf", "[here]\ntype = local\n",
                        {{"HOME", harness.home.str()}});
        harness.platform.tools.rcloneAbsoluteCandidates = {choose(root()).string()};
        harness.platform.tools.rcloneHomeCandidates = {};
        installSyncServices(harness.services);
        harness.session();
        fs::create_directories(root() / "src");
    }

    fs::path root() const { return scratch.path(); }
    std::string folder(const std::string& name) const { return (root() / name).string(); }

    int32_t sync(Request request) { return std::get<0>(harness.call<rcloneSyncWithId>(std::move(request))); }
    std::future<int32_t> startSync(Request request) {
        return std::async(std::launch::async, [this, request] { return sync(request); });
    }

    // The lines sent for `id`, in the order sent.
    std::vector<std::string> linesOf(const std::string& id) const {
        std::vector<std::string> lines;
        for (const auto& callback : harness.connection->callbacks()) {
            EXPECT_EQ(callback.selector, service::msg::syncOutput::selector);
            if (callback.arguments[0] == id) lines.push_back(callback.arguments[1].get<std::string>());
        }
        return lines;
    }
    bool waitForLines(const std::string& id, size_t count) const {
        return eventually([&] { return linesOf(id).size() >= count; }, patience);
    }

    // What the stand-in recorded: the first argument of every run, the process id of every sync.
    std::vector<std::string> runs() const { return readLines(root() / "runs"); }
    std::vector<pid_t> pids() const {
        std::vector<pid_t> pids;
        for (const auto& line : readLines(root() / "pids")) pids.push_back(std::stoi(line));
        return pids;
    }

    testing::TempDir scratch;
    testing::SessionHarness harness;
};

Request mirrorRequest(std::string id, std::string source, std::string destination,
                      std::optional<std::string> trashRoot = std::nullopt, std::vector<std::string> excludes = {}) {
    return {std::move(id), std::move(source), std::move(destination), true, false, std::move(excludes),
            std::move(trashRoot), false};
}

TEST(SyncWithRclone, MirrorWithATrashRootKeepsWhatItReplacesAndDeletes) {
    SyncSession s([](const fs::path&) { return fs::path("/usr/bin/rclone"); });
    writeFile(s.root() / "Projects/report.txt", "second draft");
    writeFile(s.root() / "dst/report.txt", "first draft");
    writeFile(s.root() / "dst/notes.txt", "deleted at the source");

    // The source's "." component and trailing "/" must not change the trash subfolder's name.
    ASSERT_EQ(s.sync(mirrorRequest("mirror", s.folder("Projects") + "/./", "here:" + s.folder("dst"),
                                   "here:" + s.folder("trash"))),
              0);

    EXPECT_EQ(readFile(s.root() / "dst/report.txt"), "second draft");
    EXPECT_FALSE(fs::exists(s.root() / "dst/notes.txt"));
    const fs::path runs = s.root() / "trash/.vrel-corbeille/Projects";
    ASSERT_TRUE(fs::is_directory(runs));
    const std::vector<fs::path> stamps(fs::directory_iterator(runs), fs::directory_iterator{});
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(std::regex_match(stamps[0].filename().string(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ)")));
    EXPECT_EQ(readFile(stamps[0] / "report.txt"), "first draft");
    EXPECT_EQ(readFile(stamps[0] / "notes.txt"), "deleted at the source");
}

TEST(SyncRequest, RefusalsReplyMinusOneAndStartNoSync) {
    SyncSession s(standIn("quick"));
    writeFile(s.root() / "file.txt", "not a folder");
    const Request requests[] = {
        mirrorRequest("r", s.folder("src"), "nowhere:/d"),          // remote not configured
        mirrorRequest("r", s.folder("src"), ":local:/d"),           // an on-the-fly remote
        mirrorRequest("r", s.folder("src"), "here:/a\nb"),
        mirrorRequest("r", s.folder("src"), "here:/d", "nowhere:/t"),
        mirrorRequest("r", s.folder("src"), "here:/d", std::nullopt, {"a\tb"}),
        mirrorRequest("r", s.folder("file.txt"), "here:/d"),
    };
    for (const Request& request : requests) EXPECT_EQ(s.sync(request), -1) << std::get<2>(request);
    EXPECT_TRUE(s.harness.connection->callbacks().empty());
    for (const auto& run : s.runs()) EXPECT_EQ(run, "listremotes");
}

// ---- the running sync, with a stand-in ----

TEST(SyncStream, LinesArriveWholeAndInOrderAndAnUnfinishedTailIsDropped) {
    SyncSession s(standIn("chunked"));

    EXPECT_EQ(s.sync(mirrorRequest("job", s.folder("src"), "here:/d")), 0);

    const auto lines = s.linesOf("job");
    ASSERT_EQ(lines.size(), 2001u);
    EXPECT_EQ(lines[0], R"({"msg":"first half, second half"})");
    for (size_t i = 1; i < lines.size(); ++i) ASSERT_EQ(nlohmann::json::parse(lines[i])["line"], i);
}

// Cancelling ends the run with SIGTERM's status, and only the run named; a run that ends leaves
// a later run under the same identifier cancellable.
TEST(SyncStream, CancelEndsTheNamedRunEvenAfterAnEarlierRunOfItsIdentifierEnded) {
    SyncSession s(standIn("slow"));
    auto earlier = s.startSync(mirrorRequest("same", s.folder("src"), "here:/d"));
    ASSERT_TRUE(s.waitForLines("same", 1));
    auto later = s.startSync(mirrorRequest("same", s.folder("src"), "here:/d"));
    ASSERT_TRUE(s.waitForLines("same", 2));

    ::kill(s.pids().at(0), SIGTERM);
    ASSERT_EQ(earlier.wait_for(patience), std::future_status::ready);
    s.harness.send<cancelSyncWithId>({"someone-else"});
    EXPECT_FALSE(isGone(s.pids().at(1)));
    s.harness.send<cancelSyncWithId>({"same"});

    ASSERT_EQ(later.wait_for(patience), std::future_status::ready);
    EXPECT_EQ(later.get(), terminatedBySigterm);
    EXPECT_EQ(s.harness.session().syncCount(), 0u);
}

TEST(SyncStream, ADescendantHoldingTheLogOpenDoesNotHoldTheReply) {
    SyncSession s(standIn("orphaning"));

    auto reply = s.startSync(mirrorRequest("job", s.folder("src"), "here:/d"));

    // The descendant lives two minutes.
    const bool replied = reply.wait_for(patience) == std::future_status::ready;
    for (pid_t pid : s.pids()) ::kill(pid, SIGKILL);
    ASSERT_TRUE(replied);
    EXPECT_EQ(reply.get(), 0);
    EXPECT_EQ(s.linesOf("job"), std::vector<std::string>{R"({"msg":"done"})"});
}

// However long they run, syncs wait on the event loop: the pool's threads all go back to idle.
// The end of the session ends them all, and a sync asked for afterwards is never started.
TEST(SyncStream, RunningSyncsHoldNoThreadAndEndWithTheirSession) {
    SyncSession s(standIn("slow"), 50ms);
    constexpr int runs = 8;
    std::vector<std::future<int32_t>> replies;
    for (int i = 0; i < runs; ++i) replies.push_back(s.startSync(mirrorRequest(std::to_string(i), s.folder("src"), "here:/d")));
    for (int i = 0; i < runs; ++i) ASSERT_TRUE(s.waitForLines(std::to_string(i), 1));

    EXPECT_TRUE(eventually([&] { return s.harness.dispatcher.threadCount() == 0; }, patience));

    s.harness.session().stopAll();
    for (auto& reply : replies) {
        ASSERT_EQ(reply.wait_for(patience), std::future_status::ready);
        EXPECT_EQ(reply.get(), terminatedBySigterm);
    }
    for (pid_t pid : s.pids()) EXPECT_TRUE(isGone(pid)) << "rclone " << pid << " still there";
    s.harness.connection.reset();
    EXPECT_EQ(s.sync(mirrorRequest("late", s.folder("src"), "here:/d")), -1);
    EXPECT_EQ(s.pids().size(), size_t{runs});
}

// Clients that ask for a sync and disconnect at once, at random moments of the request's way
// from the checks to the launch: no run may outlive its session.
TEST(SyncStream, SyncsRacingTheEndOfTheirSessionLeaveNoRcloneBehind) {
    SyncSession s(standIn("slow"));
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> delayUs(0, 20'000);
    const auto request = rcloneSyncWithId::Args::encode(mirrorRequest("job", s.folder("src"), "here:/d"));
    constexpr int clients = 40;
    for (int i = 0; i < clients; ++i) {
        auto session = std::make_shared<CompanionSession>(s.harness.connection, s.harness.platform, s.harness.services);
        ASSERT_TRUE(session->handle(rcloneSyncWithId::selector, false, request, [](nlohmann::json) {}));
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        // What the connection's end does: the clean-up, then the session is let go.
        session->stopAll();
    }
    const auto lastEnd = std::chrono::steady_clock::now();

    std::this_thread::sleep_until(lastEnd + 1s);
    for (pid_t pid : s.pids()) EXPECT_TRUE(isGone(pid)) << "rclone " << pid << " outlived its session";
}

}  // namespace
}  // namespace companion::storage
