#include "care/git_status.h"

#include <tuple>
#include <utility>

#include "core/input_checks.h"

namespace companion::care {

using namespace service;

namespace {

constexpr std::string_view developerFolderArguments[] = {"-p"};
constexpr double developerFolderTimeLimitSeconds = 5;
// Where git lies inside the developer folder that xcode-select prints.
constexpr std::string_view gitInDeveloperFolder = "/usr/bin/git";

constexpr const char* changeDirectoryOption = "-C";
constexpr std::string_view statusOptions[] = {
    "status", "--porcelain=v1", "-z", "--branch", "--untracked-files=normal",
};
// A status must not take the index lock from the user's own git, and its output must not be
// translated.
constexpr const char* optionalLocksVariable = "GIT_OPTIONAL_LOCKS";
constexpr const char* optionalLocksOff = "0";
constexpr const char* localeVariable = "LC_ALL";
constexpr const char* plainLocale = "C";
constexpr double statusTimeLimitSeconds = 8;

std::optional<std::string> gitOfDeveloperFolder(const Platform& platform) {
    const ToolRun ask{platform.tools.xcodeSelect,
                      {std::begin(developerFolderArguments), std::end(developerFolderArguments)},
                      std::nullopt, std::nullopt, developerFolderTimeLimitSeconds};
    const CommandResult folder = runTool(platform, ask);
    if (folder.status != 0) return std::nullopt;
    if (!isExecutableFile(std::string(trimmed(folder.output, whiteSpace)) + std::string(gitInDeveloperFolder)))
        return std::nullopt;
    return platform.tools.selectedGit;
}

std::optional<std::string> searchGit(const Platform& platform) {
    for (const std::string& candidate : platform.tools.gitCandidates) {
        if (isExecutableFile(candidate)) return candidate;
    }
    return gitOfDeveloperFolder(platform);
}

// GCC 12 at -O2 warns -Wrestrict about the memcpy of std::string's assignment inlined here
// (GCC bug 105329), with sizes no string can have: a known false positive of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
Environment statusEnvironment(const Platform& platform) {
    Environment environment = platform.environment();
    environment[optionalLocksVariable] = optionalLocksOff;
    environment[localeVariable] = plainLocale;
    return environment;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The host reads the raw bytes; git's error text is not part of the answer.
std::tuple<int32_t, wire::Bytes> statusAndOutputBytes(const CommandResult& result) {
    return {result.status, wire::Bytes(result.output.begin(), result.output.end())};
}

}  // namespace

std::optional<std::string> locateGit(const Platform& platform) {
    return platform.git->get([&] { return searchGit(platform); });
}

std::optional<ToolRun> gitStatusRun(const Platform& platform, const Args<msg::gitStatusWithRoot>& arguments) {
    auto root = sanitizedDirectory(std::get<0>(arguments));
    if (!root) return std::nullopt;
    auto git = locateGit(platform);
    if (!git) return std::nullopt;
    std::vector<std::string> toolArguments{changeDirectoryOption, std::move(*root)};
    toolArguments.insert(toolArguments.end(), std::begin(statusOptions), std::end(statusOptions));
    return ToolRun{std::move(*git), std::move(toolArguments), std::nullopt, statusEnvironment(platform),
                   statusTimeLimitSeconds};
}

void installGitStatusServices(Services& services) {
    services.handlers.gitStatusWithRoot = &toolMessage<msg::gitStatusWithRoot, gitStatusRun, statusAndOutputBytes>;
}

}  // namespace companion::care
