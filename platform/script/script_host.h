#pragma once
// The script host: where a script text is made into a script and run.
//
// On this system the only script that can run is the privileged shell statement,
// `do shell script "..." with administrator privileges`: the host reads the string literal back
// and runs its text with the shell, as root. Every other script fails with one clear error text.
// Tests put a recording double in its place.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion::script {

// What running a script gave: its result text, or an error with the message it carried.
struct ScriptOutcome {
    bool failed = false;
    std::optional<std::string> text;     // the result's text, when it has one
    std::optional<std::string> message;  // the error's message, when it has one
    bool operator==(const ScriptOutcome&) const = default;
};

// How the shell of a statement ended.
struct ShellRun {
    int32_t status = -1;
    std::string output;
    std::string errorOutput;
};

// Runs one tool and waits for it. The host does not start processes itself: its caller hands it
// the agent's one tool runner, so the shell is run, timed and collected like any other tool.
using ShellRunner =
    std::function<ShellRun(const std::string& executable, const std::vector<std::string>& arguments)>;

class ScriptHost {
public:
    virtual ~ScriptHost() = default;
    // Absent when no script can be made from `source`.
    virtual std::optional<ScriptOutcome> execute(const std::string& source, const ShellRunner& runShell) = 0;
};

// The pieces of the privileged shell statement, around its escaped string literal.
inline constexpr std::string_view doShellScriptOpening = "do shell script ";
inline constexpr std::string_view withAdministratorPrivileges = " with administrator privileges";
inline constexpr char literalQuote = '"';
inline constexpr char literalEscape = '\\';

// The shell text of a privileged shell statement: the exact inverse of its escaping (a doubled
// backslash is one backslash, an escaped quote is a quote). Absent for any other text.
std::optional<std::string> adminShellText(std::string_view source);

// What the system host needs to run the shell with privileges.
struct ShellSettings {
    std::string shell;                // absolute
    std::string pkexec;               // absolute; used only when present and the agent is not root
    std::function<bool()> isRoot;     // whether the agent already has the privileges
};

inline constexpr std::string_view unsupportedScriptText =
    "This script cannot run on this system: only the privileged shell statement is available here.";
inline constexpr std::string_view noPrivilegesText =
    "Administrator privileges are not available: the agent is not root and pkexec is not installed.";

std::shared_ptr<ScriptHost> systemScriptHost(ShellSettings settings);

}  // namespace companion::script
