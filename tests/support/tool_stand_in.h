#pragma once
// A stand-in for a system tool (tests/helpers/tools/recording_tool): it records each run's
// arguments, environment and standard input exactly, and answers as scripted.
//
//   ToolStandIn hdiutil(dir / "hdiutil");          // installs the script there
//   hdiutil.answer({.output = "<plist/>", .status = 1});
//   ... run the code under test with the tool table pointing at hdiutil.path() ...
//   hdiutil.calls()[0].arguments                  // {"info", "-plist"}
//   ToolStandIn::runs(dir / "record")             // every stand-in's runs there, in order

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"

namespace companion::testing {

struct ToolAnswer {
    std::string output{};
    std::string errorOutput{};
    int status = 0;
    bool hang = false;  // after printing, sleep until a signal ends the run
};

using Runs = std::vector<std::vector<std::string>>;

struct ToolCall {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    std::string input;
};

class ToolStandIn {
public:
    static inline const std::filesystem::path script =
        std::filesystem::path(COMPANION_TEST_HELPERS) / "tools/recording_tool";

    // Installs the stand-in at `path`, recording below `recordBase` (by default the folder
    // "record" next to it; the script finds that itself unless COMPANION_STANDIN_RECORD says
    // otherwise, so a different base must be handed to the run's environment too).
    explicit ToolStandIn(std::filesystem::path path, std::optional<std::filesystem::path> recordBase = {})
        : ToolStandIn(script, std::move(path), {}) {
        record_ = recordBase.value_or(path_.parent_path() / "record") / path_.filename();
    }
    // Another recording script of tests/helpers, one that keeps its calls/ in `record`.
    ToolStandIn(const std::filesystem::path& source, std::filesystem::path path, std::filesystem::path record)
        : path_(std::move(path)), record_(std::move(record)) {
        std::filesystem::create_directories(path_.parent_path());
        std::filesystem::copy_file(source, path_, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                std::filesystem::perms::others_exec |
                                                std::filesystem::perms::group_read |
                                                std::filesystem::perms::others_read);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    // The answer of every run, or of run `call` alone (counted from 1).
    void answer(const ToolAnswer& answer, int call = 0) const {
        write(record_ / (call == 0 ? std::string("answer") : "answer." + std::to_string(call)), answer);
    }
    // The answer of every run whose first argument is `command`.
    void answerTo(const std::string& command, const ToolAnswer& answer) const {
        write(record_ / ("answer-to-" + command), answer);
    }

    std::vector<ToolCall> calls() const {
        std::vector<ToolCall> calls;
        for (int n = 1;; ++n) {
            const auto folder = record_ / "calls" / std::to_string(n);
            if (!std::filesystem::exists(folder / "stdin")) return calls;  // written last
            ToolCall call{nulSeparated(readFile(folder / "argv")), {}, readFile(folder / "stdin")};
            for (const std::string& entry : nulSeparated(readFile(folder / "env"))) {
                const auto equals = entry.find('=');
                if (equals != std::string::npos) call.environment[entry.substr(0, equals)] = entry.substr(equals + 1);
            }
            calls.push_back(std::move(call));
        }
    }

    // Every run of the stand-ins recording below `base`, in the order they ran: the path each was
    // called by, then its arguments.
    static Runs runs(const std::filesystem::path& base) {
        Runs runs;
        const std::string log = readFile(base / "runs");
        size_t start = 0;
        for (size_t end; (end = log.find(std::string("\0\n", 2), start)) != std::string::npos; start = end + 2)
            runs.push_back(nulSeparated(log.substr(start, end + 1 - start)));
        return runs;
    }

private:
    static void write(const std::filesystem::path& folder, const ToolAnswer& answer) {
        writeFile(folder / "stdout", answer.output);
        writeFile(folder / "stderr", answer.errorOutput);
        writeFile(folder / "status", std::to_string(answer.status));
        if (answer.hang) writeFile(folder / "hang", "");
    }
    static std::vector<std::string> nulSeparated(const std::string& bytes) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
            parts.push_back(bytes.substr(start, end - start));
        return parts;
    }

    std::filesystem::path path_;
    std::filesystem::path record_;
};

}  // namespace companion::testing
