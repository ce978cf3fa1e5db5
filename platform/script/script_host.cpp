#include "platform/script/script_host.h"

#include <unistd.h>

#include "platform/process/process.h"

namespace companion::script {

namespace {

constexpr const char* shellCommandFlag = "-c";

// Undoes the literal's escaping; absent when the body holds anything the escaping never makes
// (an unescaped quote, a backslash before any other character, a lone final backslash).
std::optional<std::string> unescapedLiteralBody(std::string_view body) {
    std::string text;
    text.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == literalQuote) return std::nullopt;
        if (c != literalEscape) {
            text += c;
            continue;
        }
        if (i + 1 == body.size()) return std::nullopt;
        const char next = body[++i];
        if (next != literalEscape && next != literalQuote) return std::nullopt;
        text += next;
    }
    return text;
}

ScriptOutcome failure(std::optional<std::string> message) {
    ScriptOutcome outcome;
    outcome.failed = true;
    outcome.message = std::move(message);
    return outcome;
}

class SystemScriptHost final : public ScriptHost {
public:
    explicit SystemScriptHost(ShellSettings settings) : settings_(std::move(settings)) {}

    std::optional<ScriptOutcome> execute(const std::string& source, const ShellRunner& runShell) override {
        const auto text = adminShellText(source);
        if (!text) return failure(std::string(unsupportedScriptText));
        ShellRun run;
        if (settings_.isRoot())
            run = runShell(settings_.shell, {shellCommandFlag, *text});
        else if (process::isExecutableFile(settings_.pkexec))
            run = runShell(settings_.pkexec, {settings_.shell, shellCommandFlag, *text});
        else
            return failure(std::string(noPrivilegesText));
        // An empty standard error is an error without a message.
        if (run.status != 0)
            return failure(run.errorOutput.empty() ? std::nullopt : std::optional(std::move(run.errorOutput)));
        ScriptOutcome outcome;
        outcome.text = std::move(run.output);
        return outcome;
    }

private:
    ShellSettings settings_;
};

}  // namespace

std::optional<std::string> adminShellText(std::string_view source) {
    const size_t opening = doShellScriptOpening.size() + 1;
    const size_t closing = withAdministratorPrivileges.size() + 1;
    if (source.size() < opening + closing) return std::nullopt;
    if (!source.starts_with(doShellScriptOpening) || source[opening - 1] != literalQuote) return std::nullopt;
    if (!source.ends_with(withAdministratorPrivileges) || source[source.size() - closing] != literalQuote)
        return std::nullopt;
    return unescapedLiteralBody(source.substr(opening, source.size() - opening - closing));
}

std::shared_ptr<ScriptHost> systemScriptHost(ShellSettings settings) {
    return std::make_shared<SystemScriptHost>(std::move(settings));
}

}  // namespace companion::script
