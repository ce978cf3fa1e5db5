#pragma once
// Where the storage tests put a stand-in rclone: the first place below the home folder where the
// agent looks, with the machine's own places taken out of the search.
//
//   ToolStandIn rclone(homeCandidate(h.home.path()));
//   rclone.answerTo("obscure", {.output = "xyz\n"});

#include <filesystem>

#include "support/session_fixture.h"
#include "support/tool_stand_in.h"

namespace companion::testing {

inline std::filesystem::path homeCandidate(const std::filesystem::path& home) {
    return home.string() + ToolPaths{}.rcloneHomeCandidates.at(0);
}

// Makes the agent look for rclone only below its home folder, never on this machine.
inline void lookOnlyBelowHome(Platform& platform) { platform.tools.rcloneAbsoluteCandidates.clear(); }

}  // namespace companion::testing
