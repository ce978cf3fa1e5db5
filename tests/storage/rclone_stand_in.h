#pragma once
// Where the storage tests put a stand-in rclone: the first place below the home folder where the
// agent looks, with the machine's own places taken out of the search.
//
//   ToolStandIn rclone(homeCandidate(h.home.path()));
//   rclone.answerTo("obscure", {.output = "xyz\n"});

#include <filesystem>

#include "support/files.h"
#include "support/session_fixture.h"
#include "support/tool_stand_in.h"

namespace companion::testing {

// Where Debian installs the real rclone, for the tests that need it.
inline constexpr const char* debianRclone = "/usr/bin/rclone";
// The mount tests' stand-ins (rclone, umount, ps).
inline const std::filesystem::path mountHelpers = std::filesystem::path(COMPANION_TEST_HELPERS) / "mount";

inline std::filesystem::path homeCandidate(const std::filesystem::path& home) {
    return home.string() + ToolPaths{}.rcloneHomeCandidates.at(0);
}

// Makes the agent look for rclone only below its home folder, never on this machine.
inline void lookOnlyBelowHome(Platform& platform) { platform.tools.rcloneAbsoluteCandidates.clear(); }

// Writes an rclone configuration holding `remotes` at `config`, and hands it to every run of
// rclone, in this process's environment with `extra` laid over it.
inline void useRcloneConfig(Platform& platform, const std::filesystem::path& config, const std::string& remotes,
                            Environment extra = {}) {
    writeFile(config, remotes);
    extra["RCLONE_CONFIG"] = config.string();
    platform.environment = [extra] {
        Environment environment = extra;
        environment.merge(systemEnvironment());
        return environment;
    };
}

}  // namespace companion::testing
