#include "storage/stale_mounts.h"

#include <charconv>
#include <csignal>
#include <thread>
#include <tuple>

#include "core/input_checks.h"
#include "core/tool_run.h"
#include "platform/dispatch/dispatch.h"
#include "platform/mounts/mount_command.h"
#include "platform/process/other_process.h"

namespace companion::storage {

using namespace service;

namespace {

// Every process of the system, wide, as its id and its whole command line.
const std::vector<std::string> processListArguments = {"-axww", "-o", "pid=,args="};
constexpr double processListTimeLimitSeconds = 5;

constexpr std::string_view mountToken = mounts::rcloneMountCommand;
constexpr std::string_view optionsStart = " --";
constexpr char tokenSeparator = ' ';
constexpr char listingLineSeparator = '\n';
constexpr char listingFieldSeparator = '\t';
// How long a stopped mount process has to unmount before its mount is released for it, and how
// often the table is read meanwhile.
constexpr auto unmountGrace = std::chrono::seconds(5);
constexpr auto unmountCheckInterval = std::chrono::milliseconds(100);
// How the process list shows a character it cannot print.
constexpr char unprintableShown = '?';

// The mount command as a word of the command line, one space on each side.
std::string mountWord() {
    std::string word(1, tokenSeparator);
    word += mountToken;
    word += tokenSeparator;
    return word;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        const size_t end = std::min(text.find(separator), text.size());
        if (end > 0) parts.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return parts;
}

std::optional<int32_t> parsePid(std::string_view token) {
    int32_t pid = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), pid);
    if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
    return pid;
}

std::optional<std::string_view> remoteOf(const std::vector<std::string_view>& tokens) {
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i] == mountToken) return tokens[i + 1];
    }
    return std::nullopt;
}

// From the first allowed root that occurs in the line up to its options.
std::optional<std::string_view> mountPointOf(std::string_view line, const std::vector<std::string>& roots) {
    for (const std::string& root : roots) {
        const size_t start = line.find(root + "/");
        if (start == std::string_view::npos) continue;
        const size_t end = line.find(optionsStart, start);
        return line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    }
    return std::nullopt;
}

// The listing's text after the pid column and its one separating space.
std::string_view commandLineOf(std::string_view line, std::string_view pidToken) {
    const size_t end = line.find(pidToken) + pidToken.size();
    return line.substr(std::min(end + 1, line.size()));
}

std::optional<ScannedMount> parseLine(std::string_view line, const std::vector<std::string>& roots) {
    if (line.find(mountWord()) == std::string_view::npos) return std::nullopt;
    const auto tokens = split(line, tokenSeparator);
    if (tokens.empty()) return std::nullopt;
    const auto pid = parsePid(tokens.front());
    if (!pid) return std::nullopt;
    const auto remote = remoteOf(tokens);
    if (!remote) return std::nullopt;
    const auto mountPoint = mountPointOf(line, roots);
    if (!mountPoint) return std::nullopt;
    return ScannedMount{{*pid, std::string(*remote), std::string(*mountPoint)},
                        std::string(commandLineOf(line, tokens.front()))};
}

// Signals the process only while it still is the one the scan saw: its pid may have been given
// to another process since, or the process may have become another program.
bool stopScanned(const ScannedMount& scanned) {
    const auto process = process::OtherProcess::open(scanned.mount.pid);
    if (!process) return false;
    const auto arguments = process->arguments();
    if (!arguments || !showsAs(*arguments, scanned.commandLine)) return false;
    return process->signal(SIGTERM);
}

// rclone unmounts as it ends; one that is killed, or ends while its files are busy, leaves its
// FUSE mount behind, answering "transport endpoint is not connected": released lazily then.
void releaseLeftMount(const Platform& platform, const std::string& mountPoint) {
    const dispatch::Blocking blocking;
    const auto deadline = std::chrono::steady_clock::now() + unmountGrace;
    while (platform.mountTable().contains(mountPoint)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            runTool(platform, fuseReleaseRun(platform, mountPoint, true));
            return;
        }
        std::this_thread::sleep_for(unmountCheckInterval);
    }
}

void staleRcloneMountsWithReply(CompanionSession& session, Args<msg::staleRcloneMountsWithReply>,
                                Reply<msg::staleRcloneMountsWithReply> reply) {
    session.submit(std::move(reply), [self = session.shared_from_this()] {
        return std::tuple{formatStaleMounts(findStaleMounts(self->platform()))};
    });
}

void stopStaleRcloneMountWithPid(CompanionSession& session, Args<msg::stopStaleRcloneMountWithPid> args,
                                 Reply<msg::stopStaleRcloneMountWithPid> reply) {
    session.submit(std::move(reply), [pid = std::get<0>(args), self = session.shared_from_this()] {
        for (const ScannedMount& scanned : scanStaleMounts(self->platform())) {
            if (scanned.mount.pid != pid) continue;
            if (!stopScanned(scanned)) return std::tuple{false};
            releaseLeftMount(self->platform(), scanned.mount.mountPoint);
            return std::tuple{true};
        }
        return std::tuple{false};
    });
}

}  // namespace

std::vector<ScannedMount> parseStaleMounts(std::string_view listing, const std::vector<std::string>& roots) {
    std::vector<ScannedMount> mounts;
    if (roots.empty()) return mounts;
    for (std::string_view line : split(listing, listingLineSeparator)) {
        if (auto mount = parseLine(line, roots)) mounts.push_back(std::move(*mount));
    }
    return mounts;
}

std::vector<ScannedMount> scanStaleMounts(const Platform& platform) {
    const CommandResult listing =
        runTool(platform, {platform.tools.ps, processListArguments, std::nullopt, std::nullopt,
                           processListTimeLimitSeconds});
    if (listing.status != 0) return {};
    return parseStaleMounts(listing.output, allowedMountRoots(platform));
}

std::vector<StaleMount> findStaleMounts(const Platform& platform) {
    std::vector<StaleMount> mounts;
    for (ScannedMount& scanned : scanStaleMounts(platform)) mounts.push_back(std::move(scanned.mount));
    return mounts;
}

std::string formatStaleMounts(const std::vector<StaleMount>& mounts) {
    std::string text;
    for (const StaleMount& mount : mounts) {
        if (!text.empty()) text += listingLineSeparator;
        text += std::to_string(mount.pid);
        text += listingFieldSeparator;
        text += mount.remote;
        text += listingFieldSeparator;
        text += mount.mountPoint;
    }
    return text;
}

bool showsAs(const std::vector<std::string>& arguments, std::string_view commandLine) {
    std::string joined;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) joined += tokenSeparator;
        joined += arguments[i];
    }
    if (joined.size() != commandLine.size()) return false;
    for (size_t i = 0; i < joined.size(); ++i) {
        if (joined[i] != commandLine[i] && commandLine[i] != unprintableShown) return false;
    }
    return true;
}

void installStaleMountServices(Services& services) {
    services.handlers.staleRcloneMountsWithReply = &staleRcloneMountsWithReply;
    services.handlers.stopStaleRcloneMountWithPid = &stopStaleRcloneMountWithPid;
}

}  // namespace companion::storage
