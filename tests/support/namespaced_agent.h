#pragma once
// The built agent, run with files placed at fixed absolute paths that only it sees.
//
//   NAMESPACED_AGENT_OR_SKIP();
//   NamespacedAgent agent({{standIn.path(), "/usr/bin/hdiutil"}}, {{"COMPANION_STANDIN_RECORD", dir}});
//   ASSERT_TRUE(agent.process().waitForSocket());
//
// The agent runs as root in a private mount namespace. A file placed where a file already is
// is bound over it; a file placed where nothing is joins a read-only overlay of its folder
// (the folder's own entries stay visible beneath). The mounts exist in that namespace alone and
// end with the agent's process, so nothing stays mounted on this machine, whatever the test does.

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/command_runner.h"
#include "support/agent_process.h"

namespace companion::testing {

struct Placement {
    std::filesystem::path file;  // what to place
    std::string at;              // the fixed absolute path where the agent sees it
};

class NamespacedAgent {
public:
    static inline const std::string unshare = "/usr/bin/unshare";
    static inline const std::string env = "/usr/bin/env";
    static inline const std::string shell = "/bin/sh";

    // Why this machine cannot run such an agent; none when it can.
    static std::optional<std::string> unavailable() {
        if (::geteuid() != 0) return "placing files at fixed paths needs root (a private mount namespace)";
        const auto probe = runCommand(unshare, {"--mount", "--propagation", "private", "/bin/true"});
        if (probe.status != 0) return "no private mount namespace here: " + probe.errorOutput;
        return std::nullopt;
    }

    NamespacedAgent(const std::vector<Placement>& placements, const std::map<std::string, std::string>& environment = {}) {
        std::vector<std::string> launcher{env};
        for (const auto& [name, value] : environment) launcher.push_back(name + "=" + value);
        launcher.insert(launcher.end(), {unshare, "--mount", "--propagation", "private", shell, "-c",
                                         mountScript(placements), shell});
        process_ = std::make_unique<AgentProcess>(std::move(launcher), std::vector<std::string>{"--agent"});
    }

    AgentProcess& process() { return *process_; }

private:
    static std::string quoted(const std::string& text) {
        std::string result = "'";
        for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return result + "'";
    }

    // Mounts everything, then becomes the agent; any failed mount ends the launch instead.
    std::string mountScript(const std::vector<Placement>& placements) {
        std::map<std::filesystem::path, std::filesystem::path> layers;  // overlaid folder -> its layer
        std::string binds;
        for (const Placement& placement : placements) {
            const std::filesystem::path target(placement.at);
            if (std::filesystem::exists(target)) {
                binds += "mount --bind " + quoted(placement.file.string()) + " " + quoted(placement.at) + "\n";
                continue;
            }
            auto& layer = layers[target.parent_path()];
            if (layer.empty()) layer = layers_.path() / std::to_string(layers.size());
            std::filesystem::create_directories(layer);
            std::filesystem::copy_file(placement.file, layer / target.filename(),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        std::string overlays;
        for (const auto& [folder, layer] : layers)
            overlays += "mount -t overlay overlay -o " + quoted("lowerdir=" + layer.string() + ":" + folder.string()) +
                        " " + quoted(folder.string()) + "\n";
        // Overlays first, so that a bind onto a file inside an overlaid folder lands on top.
        return "set -e\n" + overlays + binds + "exec \"$@\"\n";
    }

    TempDir layers_;
    std::unique_ptr<AgentProcess> process_;
};

#define NAMESPACED_AGENT_OR_SKIP()                                                              \
    do {                                                                                        \
        if (auto reason = ::companion::testing::NamespacedAgent::unavailable()) GTEST_SKIP() << *reason; \
    } while (0)

}  // namespace companion::testing
