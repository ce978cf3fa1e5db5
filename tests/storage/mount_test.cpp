// Mounts: the argument list and log rules, refusals, and real FUSE mounts through the machine's
// own rclone (root only, each in a private namespace).

#include "storage/mount.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>

#include <atomic>
#include <functional>
#include <filesystem>
#include <thread>

#include "core/input_checks.h"
#include "platform/mounts/mount_wait.h"
#include "platform/process/process.h"
#include "storage/connection.h"
#include "storage/rclone_stand_in.h"
#include "storage/storage_services.h"
#include "support/files.h"
#include "support/mount_namespace.h"
#include "support/session_fixture.h"
#include "support/ssh_server.h"

namespace companion::storage {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using service::msg::rcloneMountWithId;
using service::msg::stopRcloneMountWithId;
using namespace companion::testing;
using Answer = rcloneMountWithId::Replies::Tuple;

const ConnectionDescription someSftp = {{"kind", "sftp"}, {"host", "h"}};

// ---- the argument list, the log file, the failure line ----

// The network-mount options become the FUSE mount's daemon time-out; the client's values pass
// whole, even when they read like an option that is carried.
TEST(MountArguments, ReadOnlyAndWritableGroupsFollowTheDaemonTimeOut) {
    MountPlan plan{"loc:data", "/m/vol", "--inplace", "/h/rclone-x.log", true};
    const std::vector<std::string> head = {"mount", "loc:data", "/m/vol", "--volname", "--inplace", "--dir-cache-time",
                                           "30s", "--poll-interval", "1m", "--log-file", "/h/rclone-x.log",
                                           "--log-level", "NOTICE", "--daemon-timeout", "30s"};
    auto readOnly = head;
    readOnly.insert(readOnly.end(), {"--read-only", "--vfs-cache-mode", "off"});
    EXPECT_EQ(mountArguments(plan), readOnly);
    plan.readOnly = false;
    auto writable = head;
    writable.insert(writable.end(), {"--vfs-cache-mode", "writes", "--vfs-cache-max-size", "1G", "--vfs-write-back",
                                     "2s"});
    EXPECT_EQ(mountArguments(plan), writable);
}

TEST(MountLog, NamesTheFirstEightCharactersStaysInTheLogFolderAndYieldsTheFailureLine) {
    const std::string folder = "/home/ana/Library/Logs/Tavro/";
    EXPECT_EQ(mountLogFile("/home/ana", "0123456789ab"), folder + "rclone-01234567.log");
    EXPECT_EQ(mountLogFile("/home/ana", "abc"), folder + "rclone-abc.log");
    EXPECT_EQ(mountLogFile("/home/ana", "éééééééééé"), folder + "rclone-éééééééé.log");
    EXPECT_EQ(mountLogFile("/home/ana", "x/../../y"), folder + "rclone-x_.._.._.log");
    // The failure line is the last failure, else the last line.
    EXPECT_EQ(failureLine("a\nx ERROR y\nb Fatal\nplain\n\n"), "b Fatal");
    EXPECT_EQ(failureLine("one\ntwo\n\n"), "two");
    EXPECT_EQ(failureLine("error\ncritical\nlast"), "last") << "the markers are case-sensitive";
    EXPECT_EQ(failureLine("\n\n"), "");
    // Without a failure in the log, what rclone printed first says why.
    EXPECT_EQ(mountFailure("x ERROR y\n", "Error: unknown flag\nUsage:\n"), "x ERROR y");
    EXPECT_EQ(mountFailure("plain\n", "\nError: unknown flag\nUsage:\n"), "Error: unknown flag");
    EXPECT_EQ(mountFailure("plain\n", ""), "plain");
}

// ---- requests ----

// A session whose rclone is the translating stand-in below the home folder, with one local
// remote "loc" over a folder of the home.
struct MountHarness {
    MountHarness() {
        testing::lookOnlyBelowHome(h.platform);
        testing::useRcloneConfig(h.platform, h.home.path() / "rclone.conf", "[loc]\ntype = local\n");
        testing::writeFile(h.home.path() / "remote data/hello.txt", "hello through the mount\n");
        installStorageServices(h.services);
    }
    ~MountHarness() { testing::detachMountsBelow(h.home.str()); }

    std::string mountPoint(const std::string& name = "vol") const {
        return allowedMountRoots(h.home.str()).front() + "/" + name;
    }
    void mode(const std::string& name) const { testing::writeFile(rclone.path().parent_path() / "mode", name); }
    std::vector<testing::ToolCall> mountRuns() const {
        auto runs = rclone.calls();
        std::erase_if(runs, [](const auto& run) { return run.arguments.empty() || run.arguments[0] != "mount"; });
        return runs;
    }
    pid_t mountPid() const { return testing::recordedMountPid(rclone.path().parent_path()); }
    // The machine's own rclone where the stand-in was: nothing recorded, nothing changed.
    void useMachineRclone() const {
        fs::remove(rclone.path());
        fs::create_symlink(testing::debianRclone, rclone.path());
    }
    ConnectionDescription local() const {
        return {{"kind", "remote"}, {"remote", "loc"}, {"path", h.home.str() + "/remote data"}};
    }
    Answer mount(const std::string& id, const ConnectionDescription& description, bool readOnly = false,
                 const std::string& name = "vol", const std::string& volume = "Vol") {
        return h.call<rcloneMountWithId>({id, description, mountPoint(name), volume, readOnly});
    }
    std::vector<std::string> endedMounts() const {
        std::vector<std::string> ids;
        for (const auto& callback : h.connection->callbacks()) {
            if (callback.selector == "rcloneMountEnded:") ids.push_back(callback.arguments.at(0));
        }
        return ids;
    }

    testing::SessionHarness h;
    // The translating stand-in, keeping its records beside itself.
    testing::ToolStandIn rclone{mountHelpers / "rclone", testing::homeCandidate(h.home.path()),
                                testing::homeCandidate(h.home.path()).parent_path()};
};

// Which mount points a root allows is tested with the input checks; here, that a request is held to it.
TEST(MountRequest, RefusalsReplyInvalidAndStartNothing) {
    // The mount point's name, the volume name, the connection, whether rclone is missing.
    const std::tuple<std::string, std::string, ConnectionDescription, bool> cases[] = {
        {"x/y", "V", someSftp, false},
        {"vol", "V\n", someSftp, false},
        {"vol", "V", {{"kind", "remote"}, {"remote", "nope"}}, false},
        {"vol", "V", someSftp, true}};
    for (const auto& [mountPointName, volume, connection, withoutRclone] : cases) {
        MountHarness m;
        if (withoutRclone) fs::remove(m.rclone.path());
        EXPECT_EQ(m.mount("a", connection, false, mountPointName, volume), (Answer{false, "invalid"}))
            << mountPointName << " " << volume << " " << withoutRclone;
        EXPECT_TRUE(m.mountRuns().empty());
    }
}

TEST(MountRequest, SftpMountsTheServerRootWithTheReadOnlyGroup) {
    MountHarness m;
    m.mode("fail");
    m.mount("sftp-mount-1", {{"kind", "sftp"}, {"host", "127.0.0.1"}, {"path", "/ignored"}}, true);
    const auto runs = m.mountRuns();
    ASSERT_EQ(runs.size(), 1u);
    const MountPlan plan{":sftp,host=\"127.0.0.1\",key_use_agent=true:/", m.mountPoint(), "Vol",
                         m.h.home.str() + "/Library/Logs/Tavro/rclone-sftp-mou.log", true};
    EXPECT_EQ(runs[0].arguments, mountArguments(plan));
    EXPECT_EQ(runs[0].environment.at("PATH"), ToolPaths{}.rcloneSearchPath);
}

TEST(MountRequest, AnRcloneThatFailsAtOnceOrCannotStartRepliesWhy) {
    MountHarness m;
    m.mode("exit");
    testing::writeFile(mountLogFile(m.h.home.str(), "failing"), "2026/01/01 ERROR : an old failure\n");
    EXPECT_EQ(m.mount("failing", m.local()), (Answer{false, ""})) << "a log left by an earlier mount is not its own";
    m.mode("fail");
    EXPECT_EQ(m.mount("failing", m.local()), (Answer{false, "2026/01/01 10:00:00 ERROR : remote: directory not found"}));
    EXPECT_EQ(m.h.session().mountCount(), 0u);
    EXPECT_TRUE(m.endedMounts().empty()) << "a mount that never came up never ends";

    testing::writeFile(m.rclone.path(), "#!/nonexistent/interpreter\n");
    const auto [mounted, message] = m.mount("x", someSftp);
    EXPECT_FALSE(mounted);
    EXPECT_NE(message.find(m.rclone.path().string()), std::string::npos) << message;
}

TEST(MountRequest, AMountThatNeverAppearsFailsAfterTheDeadline) {
    MountHarness m;
    m.mode("never");
    // The deadline the request sets is noted, and a short one is waited out in its place.
    mounts::Clock::duration given{};
    m.h.platform.waitForMountPoint = [&](const std::string& mountPoint, int processFd, mounts::Clock::time_point deadline) {
        given = deadline - mounts::Clock::now();
        return mounts::waitForMountPoint(mountPoint, processFd, mounts::Clock::now() + 200ms, systemMountTable);
    };
    EXPECT_EQ(m.mount("slow", m.local()), (Answer{false, ""}));
    EXPECT_GT(given, 24s);
    EXPECT_LE(given, 25s);
    EXPECT_TRUE(eventually([&] { return isGone(m.mountPid()); })) << "rclone was told to terminate";
}

// The wait for a mount point reads the mount table only when the kernel says it changed. (Its
// answers when the process ends or the deadline passes are seen through the requests above.)
TEST(MountWait, SeesAMountAsItComesUpAndReadsTheTableOnlyOnChanges) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    testing::TempDir folder;
    const std::string mountPoint = folder.str() + "/mounted";
    std::filesystem::create_directory(mountPoint);
    auto sleeper = std::get<process::Process>(process::Process::launch({"/bin/sleep", {"30"}}));
    std::atomic<int> readings{0};
    const mounts::MountTableReader counted = [&] {
        ++readings;
        return systemMountTable();
    };
    std::thread mounter([&] {
        std::this_thread::sleep_for(500ms);
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, nullptr);
    });
    const auto start = mounts::Clock::now();
    EXPECT_EQ(mounts::waitForMountPoint(mountPoint, sleeper.pidFd(), start + 20s, counted), mounts::MountWait::mounted);
    mounter.join();
    EXPECT_LT(mounts::Clock::now() - start, 10s);
    EXPECT_EQ(readings.load(), 2) << "once at the start, once after the one change";
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

// ---- ending a mount when its connection goes ----

// Unmounts only while mounted, forcing once when the plain unmount left it there, then terminates.
// A FUSE mount is released by fusermount3, lazily when forced.
TEST(EndMount, UnmountsOnlyWhileMountedThenTerminates) {
    // The mount table lists the mount point until umount has run this often; the runs of umount.
    const std::pair<size_t, std::vector<std::string>> cases[] = {
        {0, {}}, {1, {"-u /m/vol"}}, {2, {"-u /m/vol", "-u -z /m/vol"}}, {3, {"-u /m/vol", "-u -z /m/vol"}}};
    for (const auto& [listedUntilRuns, expected] : cases) {
        testing::SessionHarness h;
        const fs::path runs = h.home.path() / "runs";
        h.platform.tools.umount = h.platform.tools.fusermount = (h.home.path() / "umount").string();
        // Records its runs and unmounts nothing: the mount point here is not a real one.
        testing::writeFile(h.platform.tools.umount, "#!/bin/sh\necho \"$*\" >> \"$(/usr/bin/dirname \"$0\")/runs\"\n");
        fs::permissions(h.platform.tools.umount, fs::perms::owner_all);
        h.platform.mountTable = [&, listedUntil = listedUntilRuns] {
            MountTable table{{"/", "ext4"}};
            if (testing::readLines(runs).size() < listedUntil) table["/m/vol"] = "fuse.rclone";
            return table;
        };
        auto process = testing::sleepingProcess();

        endMount(h.session(), {process, "/m/vol"});
        EXPECT_EQ(testing::readLines(runs), expected) << "listed until " << listedUntilRuns << " runs";
        EXPECT_EQ(process->wait(), (process::Termination{process::Termination::Kind::signalled, SIGTERM}));
    }
}

// ---- real mounts (the end of a connection is seen through the agent, in mount_agent_test) ----

// The second mount of an identifier takes the table entry of the first: the end of the first
// must not take the second's entry with it.
TEST(RealMount, MountsServesAndEndsWhenUnmountedOrStoppedById) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountHarness m;
    m.useMachineRclone();
    ASSERT_EQ(m.mount("twice", m.local(), false, "first"), (Answer{true, ""}));
    EXPECT_TRUE(m.h.platform.mountTable().contains(m.mountPoint("first")));
    EXPECT_EQ(testing::readFile(m.mountPoint("first") + "/hello.txt"), "hello through the mount\n");
    // Written back to the remote 2 s after the file is closed.
    testing::writeFile(m.mountPoint("first") + "/new.txt", "written through the mount\n");
    EXPECT_TRUE(eventually([&] { return fs::exists(m.h.home.path() / "remote data/new.txt"); }, 15s));
    ASSERT_EQ(m.mount("twice", m.local(), false, "second"), (Answer{true, ""}));
    ASSERT_EQ(runCommand("/bin/umount", {m.mountPoint("first")}).status, 0);
    ASSERT_TRUE(eventually([&] { return m.endedMounts().size() == 1; }));
    EXPECT_EQ(m.h.session().mountCount(), 1u) << "the second mount is still tracked";

    m.h.send<stopRcloneMountWithId>({"twice"});
    EXPECT_EQ(m.h.session().mountCount(), 0u) << "the entry goes at once";
    EXPECT_TRUE(eventually([&] { return m.endedMounts() == std::vector<std::string>{"twice", "twice"}; }));
    EXPECT_FALSE(m.h.platform.mountTable().contains(m.mountPoint("second")));
}

// A killed rclone leaves a dead FUSE mount behind, which would hide the folder: it is released.
TEST(RealMount, AKilledMountLeavesNoDeadMountBehind) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountHarness m;
    ASSERT_EQ(m.mount("killed", m.local()), (Answer{true, ""}));
    ::kill(m.mountPid(), SIGKILL);
    EXPECT_TRUE(eventually([&] { return m.endedMounts() == std::vector<std::string>{"killed"}; }));
    EXPECT_TRUE(eventually([&] { return !m.h.platform.mountTable().contains(m.mountPoint()); }));
    EXPECT_EQ(m.mount("killed", m.local()), (Answer{true, ""})) << "the folder can be mounted again";
}

TEST(RealMount, AMountThatComesUpAfterItsConnectionEndedIsEnded) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountHarness m;
    m.h.platform.waitForMountPoint = [&](const std::string& mountPoint, int processFd, mounts::Clock::time_point deadline) {
        m.h.session().stopAll();  // the client leaves while its mount is coming up
        return mounts::waitForMountPoint(mountPoint, processFd, deadline, systemMountTable);
    };
    EXPECT_EQ(m.mount("late", m.local()), (Answer{true, ""}));
    EXPECT_EQ(m.h.session().mountCount(), 0u);
    EXPECT_FALSE(m.h.platform.mountTable().contains(m.mountPoint()));
    EXPECT_TRUE(eventually([&] { return isGone(m.mountPid()); }, 20s));
}

// Each failure replies rclone's own line (or the agent's, for a folder that holds files) and
// leaves nothing mounted.
TEST(RealMount, AFailedMountSaysWhy) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    using Make = std::function<ConnectionDescription(MountHarness&)>;
    // What is wrong, what makes it so and gives the connection, and a part of the reply.
    const std::tuple<std::string, Make, std::string> cases[] = {
        {"unknown remote type", [](MountHarness&) { return ConnectionDescription{{"kind", "remote"}, {"remote", "bad"}}; },
         "didn't find backend called \"nosuchbackend\""},
        {"mount point not empty",
         [](MountHarness& m) {
             testing::writeFile(m.mountPoint() + "/kept.txt", "kept\n");
             return m.local();
         },
         "mount point is not empty: "},
        {"no fusermount3",
         [](MountHarness& m) {
             m.h.platform.tools.rcloneSearchPath = "/nonexistent";
             return m.local();
         },
         "Fatal error: failed to mount FUSE fs: fusermount: exec"},
        {"no /dev/fuse",
         [](MountHarness& m) {
             testing::writeFile(m.h.home.path() / "not-fuse", "");
             EXPECT_EQ(::mount((m.h.home.path() / "not-fuse").c_str(), "/dev/fuse", nullptr, MS_BIND, nullptr), 0);
             return m.local();
         },
         "Fatal error: failed to mount FUSE fs"},
        {"mount point already mounted",
         [](MountHarness& m) {
             fs::create_directories(m.mountPoint());
             EXPECT_EQ(::mount("tmpfs", m.mountPoint().c_str(), "tmpfs", 0, nullptr), 0);
             return m.local();
         },
         "mount point is already mounted: "},
        {"connection refused",
         [](MountHarness& m) {
             const std::string key = m.h.home.str() + "/key";
             runCommand("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", key});
             return ConnectionDescription{{"kind", "sftp"}, {"host", "127.0.0.1"}, {"port", "1"}, {"keyFile", key}};
         },
         "connection refused"},
    };
    for (const auto& [what, make, expected] : cases) {
        MountHarness m;
        m.useMachineRclone();
        testing::useRcloneConfig(m.h.platform, m.h.home.path() / "rclone.conf",
                                 "[loc]\ntype = local\n[bad]\ntype = nosuchbackend\n");
        const auto [mounted, message] = m.mount("failing", make(m));
        EXPECT_FALSE(mounted) << what;
        EXPECT_NE(message.find(expected), std::string::npos) << what << ": " << message;
        EXPECT_EQ(m.h.platform.mountTable().count(m.mountPoint()) > 0, what == "mount point already mounted") << what;
        ::umount2("/dev/fuse", MNT_DETACH);
    }
}

// Read-only: the whole file system of this machine is what the server serves.
TEST(RealMount, AnSftpServerIsMountedFromItsRoot) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    MountHarness m;
    m.useMachineRclone();
    fs::create_directory(m.h.home.path() / "sshd");
    testing::SshServer server(m.h.home.path() / "sshd");
    ASSERT_EQ(server.start(), "");
    testing::writeFile(m.h.home.path() / "served.txt", "served over sftp\n");
    const ConnectionDescription sftp = {{"kind", "sftp"},
                                        {"host", testing::SshServer::loopback},
                                        {"user", ::getpwuid(::geteuid())->pw_name},
                                        {"port", std::to_string(server.port())},
                                        {"keyFile", server.clientKey()},
                                        {"path", "/ignored"}};
    ASSERT_EQ(m.mount("sftp", sftp, true), (Answer{true, ""}));
    EXPECT_EQ(testing::readFile(m.mountPoint() + m.h.home.str() + "/served.txt"), "served over sftp\n");
}

}  // namespace
}  // namespace companion::storage
