// The disk-image tool through the agent, beside gocryptfs and 7-Zip run directly: an encrypted
// archive of a 200 MiB folder, a vault's create and attach until the reply, and a sequential
// write of 256 MiB into an attached vault. One run of each side by side, one figure a line.
//
// Needs root and FUSE: it mounts in a private mount namespace of its own (with a fresh
// removable-volumes folder), so nothing reaches this machine's mount table.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/command_runner.h"
#include "support/agent_process.h"
#include "support/files.h"

namespace {

using namespace companion;
using namespace companion::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr size_t mebibyte = 1 << 20;
constexpr int archivedFiles = 200;  // of one MiB each
constexpr size_t wordCount = 5000;
constexpr size_t writtenMiB = 256;
constexpr int writeRounds = 3;
constexpr const char* password = "banc d'essai";
constexpr const char* sevenZip = "/usr/bin/7zz";
constexpr const char* gocryptfs = "/usr/bin/gocryptfs";
constexpr const char* fusermount = "/usr/bin/fusermount3";
constexpr double toolLimitSeconds = 3600;

bool enterPrivateMountNamespace() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return ::mount("tmpfs", "/media", "tmpfs", 0, nullptr) == 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Work>
double secondsOf(Work work) {
    const auto start = Clock::now();
    work();
    return Seconds(Clock::now() - start).count();
}

std::string jsonText(const std::string& text) { return nlohmann::json(text).dump(); }

nlohmann::json call(const AgentProcess& agent, std::vector<std::string> words) {
    words.insert(words.begin(), "call");
    const CommandResult result = ctl(agent.socketPath(), std::move(words), toolLimitSeconds);
    const auto at = result.output.rfind("{\"reply\"");
    if (result.status != 0 || at == std::string::npos) return nlohmann::json::array({-1, result.errorOutput});
    return nlohmann::json::parse(result.output.substr(at))["reply"];
}

Bytes passwordLine() {
    const std::string line = std::string(password) + "\n";
    return Bytes(line.begin(), line.end());
}

// Half text made of words (compressible as documents are), half random bytes (as photos and
// videos, compressed already).
void makeFolder(const fs::path& folder) {
    std::mt19937 random(42);
    std::vector<std::string> words(wordCount);
    for (std::string& word : words)
        for (size_t length = 2 + random() % 9; word.size() < length;) word += static_cast<char>('a' + random() % 26);
    for (int n = 0; n < archivedFiles; ++n) {
        std::string block;
        while (block.size() < mebibyte) {
            if (n % 2 == 0) block += static_cast<char>(random());
            else block += words[random() % words.size()] + (random() % 12 ? " " : "\n");
        }
        block.resize(mebibyte);
        writeFile(folder / ("f" + std::to_string(n)), block);
    }
}

void writeSequentially(const fs::path& file) {
    const std::string chunk(mebibyte, 'w');
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    for (size_t i = 0; i < writtenMiB; ++i) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
    }
    ::fsync(fd);
    ::close(fd);
}

std::string mountPointOf(const std::string& plist) {
    const std::string key = "<key>mount-point</key>";
    const auto start = plist.find("<string>", plist.find(key)) + std::string("<string>").size();
    return plist.substr(start, plist.find("</string>", start) - start);
}

void archives(const fs::path& work) {
    const fs::path folder = work / "folder";
    makeFolder(folder);
    const fs::path direct = work / "direct.7z";
    const auto directly = [&] {
        fs::remove(direct);
        runCommand(sevenZip, {"a", "-t7z", "-mhe=on", "-mx=1", "-snl", "-p", "-bsp0", "-bso0", "--", direct.string(),
                              folder.string()},
                   passwordLine(), std::nullopt, toolLimitSeconds);
    };
    const fs::path archive = work / "agent.dmg";
    const std::string items = nlohmann::json::array({folder.string()}).dump();
    // A fresh agent for each: one left idle through the direct runs would have ended itself.
    const auto throughAgent = [&] {
        fs::remove(archive);
        AgentProcess agent;
        agent.waitForSocket();
        return secondsOf([&] {
            call(agent, {"encryptedArchiveWithItems:destination:password:reply:", items, jsonText(archive.string()),
                         jsonText(password)});
        });
    };
    // Agent, direct, direct, agent: a load that drifts during the run weighs on both sides alike.
    double agentSide = throughAgent();
    double alone = secondsOf(directly) + secondsOf(directly);
    agentSide += throughAgent();
    std::printf("encrypted archive of 200 MiB, 7zz directly: %.2f s\n", alone / 2);
    std::printf("encrypted archive of 200 MiB, through the agent: %.2f s\n", agentSide / 2);
    std::printf("encrypted archive, agent over 7zz directly: %.3f (goal: at most 1.05)\n", agentSide / alone);
}

void vaults(const fs::path& work) {
    AgentProcess agent;
    agent.waitForSocket();
    const std::string image = (work / "Bench.sparsebundle").string();
    std::string mountPoint;
    const double createAndAttach = secondsOf([&] {
        call(agent, {"vaultCreateWithPath:volumeName:maxGB:password:reply:", jsonText(image), jsonText("Bench"), "10",
                     jsonText(password)});
        mountPoint = mountPointOf(call(agent, {"vaultAttachWithPath:password:hidden:reply:", jsonText(image),
                                               jsonText(password), "false"})[1]);
    });
    std::printf("vault create and attach to reply: %.2f s (goal: under 2 s)\n", createAndAttach);

    const fs::path store = work / "direct-store";
    const fs::path direct = work / "direct-mount";
    fs::create_directories(store);
    fs::create_directories(direct);
    runCommand(gocryptfs, {"-init", "-q", "--", store.string()}, passwordLine());
    runCommand(gocryptfs, {"-q", "--", store.string(), direct.string()}, passwordLine());
    // Alternated, so that neither side always writes while the other's data is still settling.
    std::vector<double> aloneTimes, agentTimes;
    for (int i = 0; i < writeRounds; ++i) {
        aloneTimes.push_back(secondsOf([&] { writeSequentially(direct / "data"); }));
        agentTimes.push_back(secondsOf([&] { writeSequentially(fs::path(mountPoint) / "data"); }));
    }
    const double alone = median(aloneTimes);
    const double agentSide = median(agentTimes);
    std::printf("sequential write of 256 MiB, gocryptfs mounted directly: %.0f MiB/s\n", writtenMiB / alone);
    std::printf("sequential write of 256 MiB, vault attached through the agent: %.0f MiB/s\n", writtenMiB / agentSide);
    std::printf("sequential write, agent's vault time over gocryptfs directly: %.3f (goal: at most 1.05)\n",
                agentSide / alone);
    call(agent, {"vaultDetachWithMountPoint:force:reply:", jsonText(mountPoint), "true"});
    runCommand(fusermount, {"-u", "-z", direct.string()});
}

}  // namespace

int main() {
    if (!process::isExecutableFile(sevenZip) || !process::isExecutableFile(gocryptfs) || !enterPrivateMountNamespace()) {
        std::printf("disk-image tool: skipped (needs gocryptfs, 7zz, root and FUSE)\n");
        return 0;
    }
    TempDir work;
    archives(work.path());
    vaults(work.path());
}
