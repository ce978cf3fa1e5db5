#include "storage/catalogue.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <utility>

#include "core/input_checks.h"
#include "storage/connection.h"
#include "storage/storage_services.h"

namespace companion::storage {

using namespace service;

namespace {

// The cloud services a new remote may be signed in to.
constexpr std::array<std::string_view, 5> authorizableServices = {"dropbox", "pcloud", "drive", "onedrive", "box"};

constexpr const char* authorizeCommand = "authorize";
// Bounds the wait for the user to finish signing in.
constexpr double authorizeTimeoutSeconds = 300;
constexpr const char* configCommand = "config";
constexpr const char* createSubcommand = "create";
constexpr const char* tokenParameterPrefix = "token=";
constexpr const char* nonInteractiveFlag = "--non-interactive";
constexpr double configCreateTimeoutSeconds = 30;

constexpr const char* listCommand = "lsf";
constexpr const char* maxDepthFlag = "--max-depth";
constexpr const char* topLevelOnly = "1";
constexpr double testTimeoutSeconds = 30;

constexpr const char* listJsonCommand = "lsjson";
constexpr const char* statFlag = "--stat";
constexpr double statTimeoutSeconds = 20;

// Failure texts of a sign-in.
constexpr std::string_view authorizeFailedText = "authorize";
constexpr std::string_view tokenMissingText = "token";

constexpr char tokenStart = '{';
constexpr char tokenEnd = '}';
constexpr char fieldSeparator = '\t';
constexpr char lineSeparator = '\n';

constexpr CharacterClass extraKeyCharacters = {.lower = true, .others = "_"};

bool isAuthorizableService(std::string_view type) {
    return std::find(authorizableServices.begin(), authorizableServices.end(), type) != authorizableServices.end();
}

bool isAuthorizeRequestAcceptable(const std::string& type, const std::string& name, const wire::StringMap& extra) {
    if (!isAuthorizableService(type) || !isRemoteName(name)) return false;
    return std::all_of(extra.begin(), extra.end(), [](const auto& entry) {
        return matchesNameRule(entry.first, extraKeyCharacters, extraKeyCharacters) &&
               !hasControlCharacters(entry.second);
    });
}

std::vector<std::string> configCreateArguments(const std::string& name, const std::string& type,
                                               const std::string& token, const wire::StringMap& extra) {
    std::vector<std::string> arguments{configCommand, createSubcommand, name, type, tokenParameterPrefix + token};
    for (const auto& [key, value] : extra) arguments.push_back(key + "=" + value);
    arguments.push_back(nonInteractiveFlag);
    return arguments;
}

// Signs in with `type`, then stores the token under `name`. Absent on success, else the failure.
std::optional<std::string> authorizeAndCreate(const Platform& platform, const std::string& type,
                                              const std::string& name, const wire::StringMap& extra) {
    const auto rclone = locateRclone(platform);
    if (!rclone) return std::string(rcloneMissingText);
    const CommandResult signIn = runCommand(*rclone, {authorizeCommand, type}, std::nullopt,
                                            rcloneEnvironment(platform), authorizeTimeoutSeconds);
    if (signIn.status != 0)
        return signIn.errorOutput.empty() ? std::string(authorizeFailedText) : signIn.errorOutput;
    const auto token = extractToken(signIn.output);
    if (!token) return std::string(tokenMissingText);

    // The sign-in may have taken minutes; rclone may have moved meanwhile.
    const auto rcloneNow = locateRclone(platform);
    if (!rcloneNow) return std::string(rcloneMissingText);
    const CommandResult created = runCommand(*rcloneNow, configCreateArguments(name, type, *token, extra),
                                             std::nullopt, rcloneEnvironment(platform), configCreateTimeoutSeconds);
    if (created.status == 0) return std::nullopt;
    return created.errorOutput;
}

}  // namespace

std::string formatRemoteList(const std::vector<RemoteEntry>& remotes) {
    std::string text;
    for (const RemoteEntry& remote : remotes) {
        if (!text.empty()) text += lineSeparator;
        text += remote.name;
        text += fieldSeparator;
        text += remote.type;
    }
    return text;
}

std::optional<std::string> extractToken(std::string_view output) {
    const size_t first = output.find(tokenStart);
    const size_t last = output.rfind(tokenEnd);
    if (first == std::string_view::npos || last == std::string_view::npos || first > last) return std::nullopt;
    return std::string(output.substr(first, last - first + 1));
}

void rcloneInstalledWithReply(CompanionSession& session, Args<msg::rcloneInstalledWithReply>,
                              Reply<msg::rcloneInstalledWithReply> reply) {
    reply(locateRclone(session.platform()).has_value());
}

void rcloneRemotesWithReply(CompanionSession& session, Args<msg::rcloneRemotesWithReply>,
                            Reply<msg::rcloneRemotesWithReply> reply) {
    session.submit(std::move(reply), [self = session.shared_from_this()] {
        return std::tuple{formatRemoteList(listRemotes(self->platform()))};
    });
}

void rcloneAuthorizeWithType(CompanionSession& session, Args<msg::rcloneAuthorizeWithType> args,
                             Reply<msg::rcloneAuthorizeWithType> reply) {
    auto [type, name, extra] = std::move(args);
    if (!isAuthorizeRequestAcceptable(type, name, extra)) return reply.refuse();
    session.submit(std::move(reply), [type = std::move(type), name = std::move(name), extra = std::move(extra),
                                      self = session.shared_from_this()] {
        return std::tuple{authorizeAndCreate(self->platform(), type, name, extra)};
    });
}

void rcloneTestWithConnection(CompanionSession& session, Args<msg::rcloneTestWithConnection> args,
                              Reply<msg::rcloneTestWithConnection> reply) {
    const auto& [description] = args;
    auto resolved = resolveConnection(session.platform(), description, descriptionPath(description));
    if (!resolved) return reply.refuse();
    session.submit(std::move(reply), [resolved = std::move(*resolved), self = session.shared_from_this()] {
        const Platform& platform = self->platform();
        const auto rclone = locateRclone(platform);
        if (!rclone) return std::tuple{false, std::string(rcloneMissingText)};
        // The listing itself is not wanted: reaching the location and listing its top is the test.
        const CommandResult result =
            runCommand(*rclone, {listCommand, resolved.remote, maxDepthFlag, topLevelOnly}, std::nullopt,
                       rcloneEnvironment(platform, resolved.environment), testTimeoutSeconds);
        return std::tuple{result.status == 0, result.errorOutput};
    });
}

void rcloneStatWithConnection(CompanionSession& session, Args<msg::rcloneStatWithConnection> args,
                              Reply<msg::rcloneStatWithConnection> reply) {
    const auto& [description, path] = args;
    auto resolved = resolveConnection(session.platform(), description, path);
    if (!resolved) return reply.refuse();
    session.submit(std::move(reply), [resolved = std::move(*resolved), self = session.shared_from_this()] {
        const Platform& platform = self->platform();
        const auto rclone = locateRclone(platform);
        if (!rclone) return msg::rcloneStatWithConnection::refused();
        const CommandResult result = runCommand(*rclone, {listJsonCommand, statFlag, resolved.remote}, std::nullopt,
                                                rcloneEnvironment(platform, resolved.environment), statTimeoutSeconds);
        return std::tuple{result.status, result.output};
    });
}

void installCatalogueServices(Services& services) {
    auto& handlers = services.handlers;
    handlers.rcloneInstalledWithReply = &rcloneInstalledWithReply;
    handlers.rcloneRemotesWithReply = &rcloneRemotesWithReply;
    handlers.rcloneAuthorizeWithType = &rcloneAuthorizeWithType;
    handlers.rcloneTestWithConnection = &rcloneTestWithConnection;
    handlers.rcloneStatWithConnection = &rcloneStatWithConnection;
}

}  // namespace companion::storage
