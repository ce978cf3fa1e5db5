#pragma once
// The stand-in rclone of tests/helpers/storage/rclone, installed where a test wants it.
//
//   RcloneStandIn rclone(homeCandidate(h.home.path()));
//   rclone.answer("obscure", "xyz\n");
//   ... run the code under test ...
//   rclone.runs()[0].arguments  // {"obscure", "-"}

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/session_fixture.h"

namespace companion::testing {

struct RecordedRun {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    std::string input;
};

inline const std::filesystem::path standInSource = std::filesystem::path(COMPANION_TEST_HELPERS) / "storage/rclone";
inline constexpr auto executablePermissions = std::filesystem::perms::owner_all;
inline constexpr auto readablePermissions = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

inline std::string readWholeFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

inline void writeWholeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

inline std::vector<std::string> splitAtNul(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, '\0');) parts.push_back(part);
    return parts;
}

// Copies a file to `destination`, creating its folders, with the given permissions.
inline void installFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                        std::filesystem::perms permissions) {
    std::filesystem::create_directories(destination.parent_path());
    std::filesystem::copy_file(source, destination, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(destination, permissions);
}

// The first place below the home folder where the agent looks for rclone.
inline std::filesystem::path homeCandidate(const std::filesystem::path& home) {
    return home.string() + ToolPaths{}.rcloneHomeCandidates.at(0);
}

// Makes the agent look for rclone only below its home folder, never on this machine.
inline void lookOnlyBelowHome(Platform& platform) { platform.tools.rcloneAbsoluteCandidates.clear(); }

// Work submitted by a handler holds its session until the closure is destroyed, which may be
// just after the reply arrived. Tearing the harness (and its dispatcher) down before that leaves
// the last release of the session to a pool thread, so tests wait for it first.
inline void waitForSessionWork(SessionHarness& harness) {
    const auto session = harness.session().weak_from_this();
    while (session.use_count() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class RcloneStandIn {
public:
    // Installs the stand-in at `path`; it records its runs and finds its answers next to itself.
    explicit RcloneStandIn(std::filesystem::path path, const std::filesystem::path& source = standInSource)
        : path_(std::move(path)) {
        installFile(source, path_, executablePermissions);
    }
    const std::filesystem::path& path() const { return path_; }

    // What the stand-in answers when its first argument is `command`.
    void answer(const std::string& command, const std::string& output, const std::string& errorOutput = "",
                int status = 0) const {
        const std::string canned = (path_.parent_path() / "canned" / command).string();
        writeWholeFile(canned + ".stdout", output);
        writeWholeFile(canned + ".stderr", errorOutput);
        writeWholeFile(canned + ".status", std::to_string(status));
    }

    std::vector<RecordedRun> runs() const {
        std::vector<RecordedRun> runs;
        for (int n = 1;; ++n) {
            const auto call = path_.parent_path() / "calls" / std::to_string(n);
            if (!std::filesystem::exists(call)) return runs;
            RecordedRun run{splitAtNul(readWholeFile(call / "argv")), {}, readWholeFile(call / "stdin")};
            for (const std::string& entry : splitAtNul(readWholeFile(call / "env"))) {
                const auto equals = entry.find('=');
                if (equals != std::string::npos) run.environment[entry.substr(0, equals)] = entry.substr(equals + 1);
            }
            runs.push_back(std::move(run));
        }
    }

private:
    std::filesystem::path path_;
};

}  // namespace companion::testing
