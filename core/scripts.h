#pragma once
// Scripts and privileges: running a script, one at a time, and running a list of commands
// in one privileged shell (one password prompt per request).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tool_run.h"
#include "platform/platform.h"

namespace companion {

// Exactly one of the two is present: the output on success (possibly empty), the error text on
// failure.
struct AppleScriptResult {
    std::optional<std::string> output;
    std::optional<std::string> error;
    bool operator==(const AppleScriptResult&) const = default;
};

// The error text of a failed script that carried no message.
inline constexpr std::string_view unnamedScriptError = "AppleScript";

// Runs `source` on the calling thread, one script of the agent at a time, in turn with the
// others; never on the main queue, which must not wait for a script's tools.
AppleScriptResult runAppleScript(const Platform& platform, const std::string& source);

// One command of a privileged shell: the program's absolute path, then its arguments.
using ShellCommand = std::vector<std::string>;

struct AdminShellResult {
    bool success = true;
    std::string error;  // empty on success
    bool operator==(const AdminShellResult&) const = default;
};

// Text escaped for the inside of a script's string literal: backslashes doubled first, then
// every double quote preceded by a backslash.
std::string scriptLiteralEscaped(std::string_view text);

// The commands as one shell line: every word single-quoted, words joined by one space, commands
// by " ; " so each runs whatever the one before it did.
std::string adminShellLine(const std::vector<ShellCommand>& commands);

// The privileged statement that runs `adminShellLine(commands)`.
std::string adminShellStatement(const std::vector<ShellCommand>& commands);

// Runs every command in one privileged shell. An empty list runs nothing and succeeds.
AdminShellResult runAdminShell(const Platform& platform, const std::vector<ShellCommand>& commands);

// The shape of every care request that mixes privileges: each of `asUser` runs in order as the
// current user, its result ignored; then `asAdministrator` runs in one privileged shell, whose
// result is the answer.
AdminShellResult runAsUserThenAsAdministrator(const Platform& platform, const std::vector<ToolRun>& asUser,
                                              const std::vector<ShellCommand>& asAdministrator);

}  // namespace companion
