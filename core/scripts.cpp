#include "core/scripts.h"

namespace companion {

namespace {

constexpr std::string_view wordSeparator = " ";
constexpr std::string_view commandSeparator = " ; ";
constexpr char singleQuote = '\'';
// Closes the quoted word, adds an escaped quote, and opens the word again.
constexpr std::string_view quotedSingleQuote = "'\\''";

// The privileged shell may wait for a password and then run long maintenance tools; this only
// bounds a shell that would otherwise hold its request for ever.
constexpr double adminShellTimeLimitSeconds = 3600;

std::string singleQuoted(std::string_view word) {
    std::string quoted(1, singleQuote);
    for (char c : word) {
        if (c == singleQuote)
            quoted += quotedSingleQuote;
        else
            quoted += c;
    }
    quoted += singleQuote;
    return quoted;
}

AppleScriptResult resultOf(const std::optional<script::ScriptOutcome>& outcome) {
    // No script could be made: the caller sees success with no text.
    if (!outcome) return {std::string(), std::nullopt};
    if (outcome->failed) return {std::nullopt, outcome->message.value_or(std::string(unnamedScriptError))};
    return {outcome->text.value_or(std::string()), std::nullopt};
}

}  // namespace

AppleScriptResult runAppleScript(const Platform& platform, const std::string& source) {
    const script::ShellRunner runShell = [&platform](const std::string& executable,
                                                     const std::vector<std::string>& arguments) {
        const CommandResult result =
            runTool(platform, {executable, arguments, std::nullopt, std::nullopt, adminShellTimeLimitSeconds});
        return script::ShellRun{result.status, result.output, result.errorOutput};
    };
    // One script at a time, in the caller's thread rather than on the main queue: a script's
    // shell may wait for a password, or for a place among the running tools, for as long as it
    // takes, and the main queue must stay free for the connection count, the idle exit and the
    // dialog steps.
    std::unique_lock turn(*platform.scriptTurn, std::defer_lock);
    {
        const dispatch::Blocking waitingForTurn;
        turn.lock();
    }
    return resultOf(platform.scripts->execute(source, runShell));
}

std::string scriptLiteralEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == script::literalEscape || c == script::literalQuote) escaped += script::literalEscape;
        escaped += c;
    }
    return escaped;
}

std::string adminShellLine(const std::vector<ShellCommand>& commands) {
    std::string line;
    for (size_t c = 0; c < commands.size(); ++c) {
        if (c > 0) line += commandSeparator;
        for (size_t w = 0; w < commands[c].size(); ++w) {
            if (w > 0) line += wordSeparator;
            line += singleQuoted(commands[c][w]);
        }
    }
    return line;
}

std::string adminShellStatement(const std::vector<ShellCommand>& commands) {
    std::string statement(script::doShellScriptOpening);
    statement += script::literalQuote;
    statement += scriptLiteralEscaped(adminShellLine(commands));
    statement += script::literalQuote;
    statement += script::withAdministratorPrivileges;
    return statement;
}

AdminShellResult runAdminShell(const Platform& platform, const std::vector<ShellCommand>& commands) {
    if (commands.empty()) return {};
    const AppleScriptResult result = runAppleScript(platform, adminShellStatement(commands));
    if (!result.error) return {};
    return {.success = false, .error = *result.error};
}

AdminShellResult runAsUserThenAsAdministrator(const Platform& platform, const std::vector<ToolRun>& asUser,
                                              const std::vector<ShellCommand>& asAdministrator) {
    for (const ToolRun& run : asUser) (void)runTool(platform, run);
    return runAdminShell(platform, asAdministrator);
}

}  // namespace companion
