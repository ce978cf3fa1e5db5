#pragma once
// What the disk-image tool's end-to-end tests share: the real tools they need, the tool itself,
// calls through the agent and reading the property lists it prints.

#include <sys/mount.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/command_runner.h"
#include "platform/process/process.h"
#include "support/agent_process.h"
#include "support/mount_namespace.h"

namespace companion::testing {

inline const std::string sevenZip = "/usr/bin/7zz";
inline const std::string gocryptfsTool = "/usr/bin/gocryptfs";
inline const std::string fuseDevice = "/dev/fuse";
inline const std::string removableVolumes = "/media";

inline std::optional<std::string> realImageToolsMissing() {
    for (const std::string& tool : {sevenZip, gocryptfsTool})
        if (!process::isExecutableFile(tool)) return tool + " is not installed (deps/debian-packages.txt)";
    if (!std::filesystem::exists(fuseDevice)) return "no " + fuseDevice + " here";
    return std::nullopt;
}

#define REAL_IMAGE_TOOLS_OR_SKIP()                                                      \
    do {                                                                                \
        if (auto missing = ::companion::testing::realImageToolsMissing()) GTEST_SKIP() << *missing; \
    } while (false)

inline std::string imageTool() { return binary("tavro-companion-image"); }

inline std::string quotedJson(const std::string& text) { return nlohmann::json(text).dump(); }

// The reply of one call through the agent, as JSON values.
inline nlohmann::json agentCall(const AgentProcess& agent, std::vector<std::string> words) {
    words.insert(words.begin(), "call");
    const CommandResult result = ctl(agent.socketPath(), std::move(words), 300);
    EXPECT_EQ(result.status, 0) << result.errorOutput;
    if (result.status != 0) return nlohmann::json::array();
    return nlohmann::json::parse(result.output.substr(result.output.rfind("{\"reply\"")))["reply"];
}

// The first text value of `key` in a property list.
inline std::string plistText(const std::string& xml, const std::string& key) {
    const std::string keyTag = "<key>" + key + "</key>";
    const auto at = xml.find(keyTag);
    if (at == std::string::npos) return {};
    const auto start = xml.find("<string>", at) + std::string("<string>").size();
    return xml.substr(start, xml.find("</string>", start) - start);
}

// The mount points of gocryptfs volumes now.
inline std::vector<std::string> vaultMounts() {
    std::vector<std::string> found;
    for (const auto& [mountPoint, type] : systemMountTable())
        if (type == "fuse.gocryptfs") found.push_back(mountPoint);
    return found;
}

// Visible vaults land in the removable-volumes folder; in this namespace it is a fresh tmpfs.
inline void privateRemovableVolumes() {
    std::filesystem::create_directories(removableVolumes);
    ASSERT_EQ(::mount("tmpfs", removableVolumes.c_str(), "tmpfs", 0, nullptr), 0);
}

}  // namespace companion::testing
