#pragma once
// The remote catalogue: whether rclone is there, the configured remotes, signing in to a cloud
// service to configure a new remote, testing a connection and reading one path's metadata.
//
// The agent parses only the remote list and the sign-in token; everything else rclone prints
// goes to the host as it is. `installCatalogueServices` (storage_services.h) fills these slots.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/session.h"
#include "storage/rclone.h"

namespace companion::storage {

// Answers at once on the arriving queue: nothing is started, so an executable but broken rclone
// still counts as installed.
void rcloneInstalledWithReply(CompanionSession& session, service::Args<service::msg::rcloneInstalledWithReply> args,
                              service::Reply<service::msg::rcloneInstalledWithReply> reply);
void rcloneRemotesWithReply(CompanionSession& session, service::Args<service::msg::rcloneRemotesWithReply> args,
                            service::Reply<service::msg::rcloneRemotesWithReply> reply);
void rcloneAuthorizeWithType(CompanionSession& session, service::Args<service::msg::rcloneAuthorizeWithType> args,
                             service::Reply<service::msg::rcloneAuthorizeWithType> reply);
void rcloneTestWithConnection(CompanionSession& session, service::Args<service::msg::rcloneTestWithConnection> args,
                              service::Reply<service::msg::rcloneTestWithConnection> reply);
void rcloneStatWithConnection(CompanionSession& session, service::Args<service::msg::rcloneStatWithConnection> args,
                              service::Reply<service::msg::rcloneStatWithConnection> reply);

// The remote list as the host reads it: name, tab, type per remote, lines joined by line feeds
// with none after the last.
std::string formatRemoteList(const std::vector<RemoteEntry>& remotes);

// The JSON object that "authorize" prints among its instructions: from the first "{" through
// the last "}"; none when there is no such pair in that order.
std::optional<std::string> extractToken(std::string_view output);

}  // namespace companion::storage
