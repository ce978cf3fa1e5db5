// Vaults and encrypted archives end to end: the built agent driven by tavro-companion-ctl, with
// no disk-image tool at the described path, so the agent runs ours over the real gocryptfs and
// 7-Zip. Root only, in a private namespace: mounts and daemons end with the test.

#include <fcntl.h>

#include <fstream>

#include "support/files.h"
#include "tests/image_tool/image_tool_support.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int vaultFiles = 100;
constexpr int archivedFolderFiles = 200;
const std::string vaultPassword = "mot de passe é";

std::string numbered(int n) { return "fichier " + std::to_string(n) + ".txt"; }
std::string contentOf(int n) { return std::string(static_cast<size_t>(n) * 37 + 1, static_cast<char>('a' + n % 26)); }

class VaultThroughTheAgent : public ::testing::Test {
protected:
    json attach(const std::string& password, bool hidden) {
        return agentCall(agent(), {"vaultAttachWithPath:password:hidden:reply:", quotedJson(image),
                                   quotedJson(password), hidden ? "true" : "false"});
    }
    json detach(const std::string& mountPoint, bool force) {
        return agentCall(agent(), {"vaultDetachWithMountPoint:force:reply:", quotedJson(mountPoint),
                                   force ? "true" : "false"});
    }
    AgentProcess& agent() {
        if (!agent_) {
            ::setenv("HOME", home.str().c_str(), 1);
            agent_.emplace();
            EXPECT_TRUE(agent_->waitForSocket());
        }
        return *agent_;
    }
    std::string attachedMountPoint(bool hidden) {
        const json reply = attach(vaultPassword, hidden);
        EXPECT_EQ(reply[0], 0) << reply.dump();
        return plistText(reply[1].get<std::string>(), "mount-point");
    }

    TempDir home;
    std::string image = (home.path() / "Coffre.sparsebundle").string();
    std::optional<AgentProcess> agent_;
};

TEST_F(VaultThroughTheAgent, LivesThroughAttachWrongPasswordHiddenForcedDetachAndTheAgentsEnd) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    REAL_IMAGE_TOOLS_OR_SKIP();
    privateRemovableVolumes();
    const json created = agentCall(agent(), {"vaultCreateWithPath:volumeName:maxGB:password:reply:",
                                             quotedJson(image), quotedJson("Mon Coffre"), "10", quotedJson(vaultPassword)});
    ASSERT_EQ(created, json::array({0, ""}));

    const std::string visible = attachedMountPoint(false);
    EXPECT_TRUE(visible.starts_with(removableVolumes + "/")) << visible;
    EXPECT_TRUE(fs::path(visible).filename() == "Mon Coffre");
    ASSERT_TRUE(systemMountTable().contains(visible));
    for (int n = 0; n < vaultFiles; ++n) writeFile(fs::path(visible) / numbered(n), contentOf(n));
    for (int n = 0; n < vaultFiles; ++n) ASSERT_EQ(readFile(fs::path(visible) / numbered(n)), contentOf(n));
    EXPECT_EQ(detach(visible, false)[0], 0);
    EXPECT_FALSE(systemMountTable().contains(visible));

    const json wrong = attach("pas le bon", false);
    EXPECT_NE(wrong[0], 0);
    EXPECT_NE(wrong[2].get<std::string>().find("Password incorrect"), std::string::npos) << wrong.dump();
    EXPECT_TRUE(vaultMounts().empty());

    const std::string hidden = attachedMountPoint(true);
    EXPECT_FALSE(hidden.starts_with(removableVolumes)) << hidden;
    const std::string listed = agentCall(agent(), {"attachedImagesWithReply:"})[0];
    EXPECT_EQ(plistText(listed, "image-path"), image);
    EXPECT_EQ(plistText(listed, "mount-point"), hidden);
    {
        std::ifstream open(fs::path(hidden) / numbered(7));
        ASSERT_TRUE(open.is_open());
        EXPECT_NE(detach(hidden, false)[0], 0) << "busy without -force";
        EXPECT_EQ(detach(hidden, true)[0], 0);
        EXPECT_TRUE(vaultMounts().empty());
    }
    const std::string again = attachedMountPoint(false);
    for (int n = 0; n < vaultFiles; ++n) EXPECT_EQ(readFile(fs::path(again) / numbered(n)), contentOf(n));
    agent_.reset();  // the agent ends as an idle exit would: gocryptfs was never its child
    ASSERT_TRUE(systemMountTable().contains(again));
    EXPECT_EQ(detach(again, false)[0], 0) << "a new agent detaches it";
    EXPECT_TRUE(vaultMounts().empty());
}

TEST(ArchiveThroughTheAgent, ThreeItemsOpenOnlyWithThePasswordAndExtractEqual) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    REAL_IMAGE_TOOLS_OR_SKIP();
    TempDir work;
    const fs::path source = work.path() / "source";
    for (int n = 0; n < archivedFolderFiles; ++n) writeFile(source / "dossier" / numbered(n), contentOf(n));
    writeFile(source / "seul.bin", std::string(4096, '\x7f'));
    writeFile(source / "un nom à espaces é.txt", "accentué\n");
    const std::string items = json::array({(source / "dossier").string(), (source / "seul.bin").string(),
                                           (source / "un nom à espaces é.txt").string()})
                                  .dump();
    const std::string archive = (work.path() / "Rapports.dmg").string();
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    const json reply = agentCall(agent, {"encryptedArchiveWithItems:destination:password:reply:", items,
                                         quotedJson(archive), quotedJson(vaultPassword)});
    ASSERT_EQ(reply, json::array({0, ""}));

    EXPECT_EQ(runCommand(sevenZip, {"t", "-p" + vaultPassword, archive}).status, 0);
    const CommandResult listed = runCommand(sevenZip, {"l", archive});
    EXPECT_NE(listed.status, 0);
    EXPECT_EQ(listed.output.find("seul.bin"), std::string::npos) << listed.output;
    const fs::path out = work.path() / "out";
    ASSERT_EQ(runCommand(sevenZip, {"x", "-p" + vaultPassword, "-o" + out.string(), archive}).status, 0);
    for (int n = 0; n < archivedFolderFiles; ++n) EXPECT_EQ(readFile(out / "dossier" / numbered(n)), contentOf(n));
    EXPECT_EQ(readFile(out / "seul.bin"), std::string(4096, '\x7f'));
    EXPECT_EQ(readFile(out / "un nom à espaces é.txt"), "accentué\n");
}

}  // namespace
}  // namespace companion::testing
