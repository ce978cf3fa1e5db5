#pragma once
// Why a peer, a tool or a plugin was turned away: one line on standard error, which the user's
// journal keeps when systemd runs the agent (`journalctl --user -u es.vextralune.tavro.companion`).
//
// Every refusal says what happened, to whom and why, from the site that knows. A flood of the
// same kind of refusal writes a bounded amount: each kind has its own budget of lines per
// window, and the first line after a window that dropped lines says how many were dropped.

#include <string_view>

namespace companion::log {

// What was refused or ended; each kind is rate-limited on its own.
enum class Kind {
    connectionRefused,
    connectionEnded,
    toolNotStarted,
    pluginNotLoaded,
    loopError,
    mountFailed,
    other,
};

// Writes "tavro-companion: <what>" as one line, unless this kind's budget is spent.
void warn(Kind kind, std::string_view what);

}  // namespace companion::log
