#include "storage/rclone.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/input_checks.h"
#include "core/tool_run.h"

namespace companion::storage {

namespace {

constexpr const char* searchPathVariable = "PATH";
constexpr double listRemotesTimeoutSeconds = 10;
constexpr const char* listRemotesCommand = "listremotes";
constexpr const char* longListingFlag = "--long";

constexpr char nameTerminator = ':';

constexpr CharacterClass remoteNameFirst = alphanumericsAnd("_");
constexpr CharacterClass remoteNameRest = alphanumericsAnd("_. -");

std::vector<std::string> rcloneCandidates(const Platform& platform) {
    std::vector<std::string> candidates = platform.tools.rcloneAbsoluteCandidates;
    const std::string home = platform.homeDirectory();
    for (const std::string& relative : platform.tools.rcloneHomeCandidates) candidates.push_back(home + relative);
    return candidates;
}

// The line cut at its first colon that ends a non-empty run (leading colons are skipped); the
// second piece is what follows that colon, further colons included, and only when non-empty.
std::vector<std::string_view> namePieces(std::string_view line) {
    const size_t start = line.find_first_not_of(nameTerminator);
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    const size_t colon = line.find(nameTerminator);
    if (colon == std::string_view::npos) return {line};
    std::string_view rest = line.substr(colon + 1);
    if (rest.empty()) return {line.substr(0, colon)};
    return {line.substr(0, colon), rest};
}

std::optional<RemoteEntry> parseRemoteLine(std::string_view line) {
    const auto pieces = namePieces(line);
    if (pieces.size() != 2) return std::nullopt;
    return RemoteEntry{std::string(trimmed(pieces[0], blanks)), std::string(trimmed(pieces[1], blanks))};
}

}  // namespace

std::optional<std::string> locateRclone(const Platform& platform) {
    for (const std::string& candidate : rcloneCandidates(platform)) {
        if (isExecutableFile(candidate)) return candidate;
    }
    return std::nullopt;
}

Environment rcloneEnvironment(const Platform& platform, const Environment& extra) {
    Environment environment = platform.environment();
    environment[searchPathVariable] = platform.tools.rcloneSearchPath;
    for (const auto& [key, value] : extra) environment[key] = value;
    return environment;
}

std::vector<RemoteEntry> parseRemoteList(std::string_view text) {
    std::vector<RemoteEntry> entries;
    while (!text.empty()) {
        const size_t end = std::min(text.find(lineFeed), text.size());
        if (auto entry = parseRemoteLine(text.substr(0, end))) entries.push_back(std::move(*entry));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return entries;
}

std::vector<RemoteEntry> listRemotes(const Platform& platform) {
    const auto rclone = locateRclone(platform);
    if (!rclone) return {};
    const CommandResult result = runCommand(*rclone, {listRemotesCommand, longListingFlag}, std::nullopt,
                                            rcloneEnvironment(platform), listRemotesTimeoutSeconds);
    if (result.status != 0) return {};
    return parseRemoteList(result.output);
}

bool isRemoteName(std::string_view name) {
    return matchesNameRule(name, remoteNameFirst, remoteNameRest);
}

}  // namespace companion::storage
