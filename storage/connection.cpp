#include "storage/connection.h"

#include <algorithm>
#include <vector>

#include "core/input_checks.h"
#include "storage/rclone.h"

namespace companion::storage {

namespace {

// Description keys and kinds.
constexpr const char* kindKey = "kind";
constexpr const char* pathKey = "path";
constexpr const char* remoteKey = "remote";
constexpr const char* providerKey = "provider";
constexpr const char* accessKeyKey = "accessKey";
constexpr const char* regionKey = "region";
constexpr const char* endpointKey = "endpoint";
constexpr const char* secretKey = "secret";
constexpr const char* hostKey = "host";
constexpr const char* userKey = "user";
constexpr const char* portKey = "port";
constexpr const char* keyFileKey = "keyFile";
constexpr const char* passwordKey = "password";

constexpr std::string_view sftpKind = "sftp";
constexpr std::string_view s3Kind = "s3";
constexpr std::string_view configuredRemoteKind = "remote";

// How the on-the-fly remotes begin, and the variables that carry their secrets.
constexpr const char* sftpPrefix = ":sftp,";
constexpr const char* s3Prefix = ":s3,";
constexpr const char* sftpPasswordVariable = "RCLONE_SFTP_PASS";
constexpr const char* s3SecretVariable = "RCLONE_S3_SECRET_ACCESS_KEY";

// Parameter names of the on-the-fly remotes.
constexpr const char* hostParameter = "host";
constexpr const char* userParameter = "user";
constexpr const char* portParameter = "port";
constexpr const char* keyFileParameter = "key_file";
constexpr const char* providerParameter = "provider";
constexpr const char* accessKeyParameter = "access_key_id";
constexpr const char* regionParameter = "region";
constexpr const char* endpointParameter = "endpoint";
constexpr const char* agentAuthenticationParameter = "key_use_agent=true";
constexpr const char* explicitCredentialsParameter = "env_auth=false";

constexpr char quote = '"';
constexpr char parameterSeparator = ',';
constexpr char locationSeparator = ':';

constexpr int lowestPort = 1;

// "obscure" reads the password as the first line of its input when given "-", so the password
// never appears in an argument list that any local user can read.
constexpr const char* obscureCommand = "obscure";
constexpr const char* passwordFromInput = "-";
constexpr double obscureTimeoutSeconds = 10;
constexpr std::string_view lineEnds = "\r\n";

constexpr CharacterClass accessKeyCharacters = alphanumericsAnd("/+=_-");

using Parameters = std::vector<std::string>;

// The value of an optional key; none when absent or empty.
std::optional<std::string> optionalValue(const ConnectionDescription& description, const char* key) {
    auto it = description.find(key);
    if (it == description.end() || it->second.empty()) return std::nullopt;
    return it->second;
}

std::string parameter(std::string_view name, std::string_view value) {
    return std::string(name) + "=" + quoteParameter(value);
}

std::string remoteArgument(std::string_view prefix, const Parameters& parameters, std::string_view path) {
    std::string remote(prefix);
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0) remote += parameterSeparator;
        remote += parameters[i];
    }
    remote += locationSeparator;
    remote += path;
    return remote;
}

// A base-10 port with an optional sign; none when malformed or out of range.
std::optional<int> parsePort(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        // Any longer run of digits is out of range anyway; stopping here keeps `value` small.
        if (value > highestPort) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < lowestPort || value > highestPort) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<ResolvedConnection> resolveSftp(const Platform& platform, const ConnectionDescription& description,
                                              std::string_view path) {
    // Every name rule below admits printable ASCII only, so it also keeps control characters out.
    const auto host = optionalValue(description, hostKey);
    if (!host || !isHostName(*host)) return std::nullopt;
    Parameters parameters{parameter(hostParameter, *host)};

    if (auto user = optionalValue(description, userKey)) {
        if (!isIdentifier(*user)) return std::nullopt;
        parameters.push_back(parameter(userParameter, *user));
    }
    if (auto portText = optionalValue(description, portKey)) {
        const auto port = parsePort(*portText);
        if (!port) return std::nullopt;
        parameters.push_back(std::string(portParameter) + "=" + std::to_string(*port));
    }
    if (auto keyFile = optionalValue(description, keyFileKey)) {
        const auto standardized = sanitizedPath(*keyFile, true);
        if (!standardized) return std::nullopt;
        parameters.push_back(parameter(keyFileParameter, *standardized));
    } else {
        parameters.push_back(agentAuthenticationParameter);
    }

    const auto password = optionalValue(description, passwordKey);
    // A line end cannot travel to rclone in a password: the request is refused rather than
    // sent on without the password the user gave.
    if (password && password->find_first_of(lineEnds) != std::string::npos) return std::nullopt;

    ResolvedConnection resolved{remoteArgument(sftpPrefix, parameters, path), {}};
    if (password) {
        // Not a refusal: without the password the server's own rejection tells the host.
        if (auto obscured = obscurePassword(platform, *password))
            resolved.environment[sftpPasswordVariable] = std::move(*obscured);
    }
    return resolved;
}

std::optional<ResolvedConnection> resolveS3(const ConnectionDescription& description, std::string_view path) {
    const auto provider = optionalValue(description, providerKey);
    if (!provider || !isIdentifier(*provider)) return std::nullopt;
    const auto accessKey = optionalValue(description, accessKeyKey);
    if (!accessKey || !matchesNameRule(*accessKey, accessKeyCharacters, accessKeyCharacters)) return std::nullopt;
    Parameters parameters{parameter(providerParameter, *provider), explicitCredentialsParameter,
                          parameter(accessKeyParameter, *accessKey)};

    if (auto region = optionalValue(description, regionKey)) {
        if (!isIdentifier(*region)) return std::nullopt;
        parameters.push_back(parameter(regionParameter, *region));
    }
    if (auto endpoint = optionalValue(description, endpointKey)) {
        if (hasControlCharacters(*endpoint)) return std::nullopt;
        parameters.push_back(parameter(endpointParameter, *endpoint));
    }

    ResolvedConnection resolved{remoteArgument(s3Prefix, parameters, path), {}};
    if (auto secret = optionalValue(description, secretKey)) resolved.environment[s3SecretVariable] = *secret;
    return resolved;
}

std::optional<ResolvedConnection> resolveConfiguredRemote(const Platform& platform,
                                                          const ConnectionDescription& description,
                                                          std::string_view path) {
    const auto name = optionalValue(description, remoteKey);
    if (!name || !isRemoteName(*name)) return std::nullopt;
    const auto remotes = listRemotes(platform);
    const bool configured =
        std::any_of(remotes.begin(), remotes.end(), [&](const RemoteEntry& entry) { return entry.name == *name; });
    if (!configured) return std::nullopt;
    return ResolvedConnection{*name + locationSeparator + std::string(path), {}};
}

}  // namespace

std::string quoteParameter(std::string_view value) {
    std::string quoted(1, quote);
    for (char c : value) {
        if (c == quote) quoted += quote;
        quoted += c;
    }
    quoted += quote;
    return quoted;
}

std::optional<ResolvedConnection> resolveConnection(const Platform& platform,
                                                    const ConnectionDescription& description,
                                                    std::string_view path) {
    if (hasControlCharacters(path) || description.empty()) return std::nullopt;
    const auto kind = optionalValue(description, kindKey);
    if (!kind) return std::nullopt;
    if (*kind == sftpKind) return resolveSftp(platform, description, path);
    if (*kind == s3Kind) return resolveS3(description, path);
    if (*kind == configuredRemoteKind) return resolveConfiguredRemote(platform, description, path);
    return std::nullopt;
}

std::optional<std::string> obscurePassword(const Platform& platform, std::string_view password) {
    // A line end would cut the password short on its way in; a wrong password is worse than none.
    if (password.empty() || password.find_first_of(lineEnds) != std::string_view::npos) return std::nullopt;
    const auto rclone = locateRclone(platform);
    if (!rclone) return std::nullopt;
    Bytes input(password.begin(), password.end());
    input.push_back('\n');
    const CommandResult result = runCommand(*rclone, {obscureCommand, passwordFromInput}, std::move(input),
                                            rcloneEnvironment(platform), obscureTimeoutSeconds);
    if (result.status != 0) return std::nullopt;
    const std::string_view obscured = trimmed(result.output, whiteSpace);
    if (obscured.empty()) return std::nullopt;
    return std::string(obscured);
}

std::string descriptionPath(const ConnectionDescription& description) {
    return optionalValue(description, pathKey).value_or("");
}

bool isSftpDescription(const ConnectionDescription& description) {
    const auto kind = optionalValue(description, kindKey);
    return kind && *kind == sftpKind;
}

}  // namespace companion::storage
