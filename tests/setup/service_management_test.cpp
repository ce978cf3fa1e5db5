// Registering the agent with the user's systemd, against a recording stand-in for systemctl:
// the exact unit files, the exact commands, and the status read back.

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "platform/service_management/service_management.h"
#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using namespace service_management;
using ::testing::ElementsAre;

const std::string standIn = std::string(COMPANION_TEST_HELPERS) + "/setup/systemctl";

class Registration : public ::testing::Test {
protected:
    Registration() {
        units.executable = folder.str() + "/my apps/100% $HOME/tavro-companion";
        units.socketPath = folder.str() + "/run/QX47MV8KT3.es.vextralune.tavro.companion";
        units.unitFolder = folder.str() + "/config/systemd/user";
        service = systemdAgentService(units, recordingSystemctl());
    }
    Systemctl recordingSystemctl() {
        return [this](const std::vector<std::string>& arguments) {
            auto result = runCommand(standIn, arguments, std::nullopt,
                                     Environment{{"SYSTEMCTL_LOG", log()}, {"SYSTEMCTL_STATE", folder.str() + "/state"}});
            return SystemctlAnswer{result.status, result.output, result.errorOutput};
        };
    }
    std::string log() const { return folder.str() + "/log"; }
    std::vector<std::string> commands() const {
        auto lines = readLines(log());
        std::filesystem::remove(log());
        return lines;
    }
    std::string unitFile(const std::string& name) const { return readFile(units.unitFolder + "/" + name); }

    TempDir folder;
    AgentUnits units;
    std::unique_ptr<AgentService> service;
};

TEST_F(Registration, WritesBothUnitsEnablesTheSocketAndUndoesIt) {
    EXPECT_EQ(service->status(), ServiceStatus::notRegistered);
    EXPECT_EQ(service->registerService(), std::nullopt);
    EXPECT_EQ(unitFile("es.vextralune.tavro.companion.socket"),
              "[Unit]\n"
              "Description=Tavro Files Companion endpoint\n"
              "\n"
              "[Socket]\n"
              "ListenStream=" + units.socketPath + "\n"
              "SocketMode=0600\n"
              "DirectoryMode=0700\n"
              "Service=es.vextralune.tavro.companion.service\n"
              "\n"
              "[Install]\n"
              "WantedBy=sockets.target\n");
    // Spaces, "%" and "$" in the executable's path stay literal.
    EXPECT_EQ(unitFile("es.vextralune.tavro.companion.service"),
              "[Unit]\n"
              "Description=Tavro Files Companion agent\n"
              "Requires=es.vextralune.tavro.companion.socket\n"
              "After=es.vextralune.tavro.companion.socket\n"
              "\n"
              "[Service]\n"
              "Type=simple\n"
              "ExecStart=\"" + folder.str() + "/my apps/100%% $HOME/tavro-companion\" --agent\n"
              "KillMode=process\n");
    EXPECT_THAT(commands(), ElementsAre("--user is-enabled es.vextralune.tavro.companion.socket",
                                        "--user daemon-reload",
                                        "--user enable --now es.vextralune.tavro.companion.socket"));
    EXPECT_EQ(service->status(), ServiceStatus::enabled);
    commands();
    EXPECT_EQ(service->unregisterService(), std::nullopt);
    EXPECT_THAT(commands(), ElementsAre("--user disable --now es.vextralune.tavro.companion.socket",
                                        "--user stop es.vextralune.tavro.companion.service",
                                        "--user daemon-reload"));
    EXPECT_TRUE(std::filesystem::is_empty(units.unitFolder));
    EXPECT_EQ(service->status(), ServiceStatus::notRegistered);
}

// Installed units serve every user: registering only enables them, and nothing is written.
TEST_F(Registration, PackagedUnitsAreOnlyEnabledAndDisabled) {
    units.origin = UnitOrigin::packaged;
    auto packaged = systemdAgentService(units, recordingSystemctl());
    EXPECT_EQ(packaged->status(), ServiceStatus::notRegistered);
    EXPECT_EQ(packaged->registerService(), std::nullopt);
    EXPECT_EQ(packaged->status(), ServiceStatus::enabled);
    EXPECT_EQ(packaged->unregisterService(), std::nullopt);
    EXPECT_EQ(packaged->status(), ServiceStatus::notRegistered);
    EXPECT_THAT(commands(), ElementsAre("--user is-enabled es.vextralune.tavro.companion.socket",
                                        "--user enable --now es.vextralune.tavro.companion.socket",
                                        "--user is-enabled es.vextralune.tavro.companion.socket",
                                        "--user disable --now es.vextralune.tavro.companion.socket",
                                        "--user stop es.vextralune.tavro.companion.service",
                                        "--user is-enabled es.vextralune.tavro.companion.socket"));
    EXPECT_FALSE(std::filesystem::exists(units.unitFolder));
    // The packaged socket names each user's runtime folder through systemd; the rest stays literal.
    units.socketPath = std::string(runtimeFolderSpecifier) + "100% sure";
    EXPECT_THAT(socketUnitText(units), ::testing::HasSubstr("\nListenStream=%t/100%% sure\n"));
}

TEST_F(Registration, AnExecutableSystemdCannotRunOrNoSystemctlRegistersNothing) {
    units.executable = folder.str() + "/say \"hi\"/tavro-companion";
    auto quoted = systemdAgentService(units, [](const auto&) { return SystemctlAnswer{0, "", ""}; });
    EXPECT_NE(quoted->registerService(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(units.unitFolder));
    // Without systemctl nothing registers and the agent is not found.
    units.executable = folder.str() + "/tavro-companion";
    auto missing = systemdAgentService(units, [](const auto&) { return SystemctlAnswer{-1, "", "no such file"}; });
    EXPECT_EQ(missing->registerService(), "no such file");
    EXPECT_EQ(missing->status(), ServiceStatus::notFound);
}

// The units as systemd itself reads them, where its analyser can run.
TEST_F(Registration, SystemdAcceptsTheUnits) {
    const std::string analyser = "/usr/bin/systemd-analyze";
    if (!std::filesystem::exists(analyser)) GTEST_SKIP() << "no " << analyser;
    units.executable = std::string(COMPANION_BIN_DIR) + "/tavro-companion";
    auto real = systemdAgentService(units, [](const auto&) { return SystemctlAnswer{0, "", ""}; });
    ASSERT_EQ(real->registerService(), std::nullopt);
    std::filesystem::create_directories(folder.str() + "/run");
    auto result = runCommand(analyser, {"--user", "verify", units.unitFolder + "/es.vextralune.tavro.companion.socket",
                                        units.unitFolder + "/es.vextralune.tavro.companion.service"},
                             std::nullopt, Environment{{"XDG_RUNTIME_DIR", folder.str() + "/run"}});
    EXPECT_EQ(result.status, 0) << result.output << result.errorOutput;
}

TEST(ServiceStatusFromSystemd, EachAnswerHasItsValue) {
    const std::pair<SystemctlAnswer, ServiceStatus> cases[] = {
        {{0, "enabled\n", ""}, ServiceStatus::enabled},
        {{0, "enabled-runtime\n", ""}, ServiceStatus::enabled},
        {{1, "disabled\n", ""}, ServiceStatus::notRegistered},
        {{1, "masked\n", ""}, ServiceStatus::notRegistered},
        {{4, "not-found\n", ""}, ServiceStatus::notRegistered},
        {{1, "", "Failed to get unit file state for x.socket: No such file or directory\n"}, ServiceStatus::notRegistered},
        {{1, "", "Failed to connect to bus: No medium found\n"}, ServiceStatus::notFound},
        {{-1, "", "cannot start /usr/bin/systemctl"}, ServiceStatus::notFound},
    };
    for (const auto& [answer, expected] : cases)
        EXPECT_EQ(statusFromIsEnabled(answer), expected) << answer.output << answer.errorOutput;
}

}  // namespace
}  // namespace companion::testing
