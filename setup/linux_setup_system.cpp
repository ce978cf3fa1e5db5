// The setup window's view of this desktop: the user's systemd for the agent, the freedesktop
// layout for the host application, and the desktop's own opener for addresses.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/tool_run.h"
#include "platform/accessibility/desktop.h"
#include "platform/dispatch/dispatch.h"
#include "platform/install_layout.h"
#include "platform/ipc/endpoint.h"
#include "platform/process/process.h"
#include "service/identity.h"
#include "setup/desktop_entries.h"
#include "setup/setup_system.h"
#include "setup/setup_view.h"

namespace companion::setup {

namespace {

constexpr double systemctlTimeLimitSeconds = 30.0;
constexpr const char* launchCommand = "launch";

// Starts an opener without waiting for it: what it opens may live as long as it likes. It is
// reaped when it ends, and a missing opener is as good as one that declined.
void startDetached(dispatch::EventLoop& loop, const std::string& executable, std::vector<std::string> arguments) {
    process::LaunchOptions options;
    options.executable = executable;
    options.arguments = std::move(arguments);
    auto launched = process::Process::launch(options);
    auto* started = std::get_if<process::Process>(&launched);
    if (!started) return;
    process::SharedProcess(std::move(*started)).onExit(loop, [](process::Termination) {});
}

// The trust as a thread of its own last found it, checked again at the window's pace. The check
// loads the desktop plugin and asks D-Bus (up to 2 seconds a call when a bus hangs): the window's
// refresh reads the last answer and never waits. Turning the switch on is done there too.
class TrustWatch {
public:
    explicit TrustWatch(std::shared_ptr<accessibility::LazyDesktop> desktop)
        : desktop_(std::move(desktop)), thread_([this](std::stop_token stop) { run(stop); }) {}

    bool trusted() const { return trusted_.load(); }
    void switchOn() {
        {
            std::lock_guard lock(mutex_);
            switchOnAsked_ = true;
        }
        wake_.notify_all();
    }

private:
    void run(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            const bool switchOn = std::exchange(switchOnAsked_, false);
            lock.unlock();
            auto* desktop = desktop_->get();
            if (desktop && switchOn) desktop->switchOnAssistiveTechnologies();
            trusted_ = desktop && desktop->accessibility().isProcessTrusted(false);
            lock.lock();
            wake_.wait_for(lock, stop, refreshInterval, [this] { return switchOnAsked_; });
        }
    }

    std::shared_ptr<accessibility::LazyDesktop> desktop_;
    std::atomic<bool> trusted_{false};
    std::mutex mutex_;
    std::condition_variable_any wake_;
    bool switchOnAsked_ = false;
    std::jthread thread_;
};

class LinuxSetupSystem final : public SetupSystem {
public:
    LinuxSetupSystem()
        : agent_(service_management::systemdAgentService(agentUnits(), [this](const auto& arguments) {
              ToolRun run;
              run.executable = platform_.tools.systemctl;
              run.arguments = arguments;
              run.timeLimitSeconds = systemctlTimeLimitSeconds;
              auto result = runTool(platform_, run);
              return service_management::SystemctlAnswer{result.status, result.output, result.errorOutput};
          })) {}

    service_management::AgentService& agentService() override { return *agent_; }

    // Trusted once the desktop's accessibility bus answers with its switch on; the desktop plugin
    // is loaded for the question, as the agent loads it for its first assistant request.
    bool isProcessTrusted() override { return trust_.trusted(); }
    // The user's explicit act: turns the desktop's assistive-technology switch on, for good.
    void promptForTrust() override { trust_.switchOn(); }

    std::optional<std::string> hostApplicationLocation() override {
        return findDesktopEntry(hostDesktopEntry, applicationFolders(systemEnvironment(), systemHomeDirectory()));
    }

    void openApplication(const std::string& location) override {
        startDetached(*dispatcher_.loop(), platform_.tools.gio, {launchCommand, location});
    }

    void openAddress(const std::string& address) override {
        startDetached(*dispatcher_.loop(), platform_.tools.xdgOpen, {address});
    }

private:
    // An installed program has its units beside it, for every user; a build tree writes its own.
    static service_management::AgentUnits agentUnits() {
        service_management::AgentUnits units{
            .executable = layout::executablePath().value_or(std::filesystem::path()).string(),
            .socketPath = ipc::endpointPath(std::string(machServiceName)),
            .unitFolder = service_management::userUnitFolder(systemHomeDirectory())};
        auto packaged = layout::packagedUnitFolder();
        std::error_code error;
        if (packaged && std::filesystem::exists(*packaged / service_management::socketUnitName(units), error)) {
            units.unitFolder = packaged->string();
            units.origin = service_management::UnitOrigin::packaged;
        }
        return units;
    }

    Platform platform_;
    TrustWatch trust_{accessibility::lazySystemDesktop()};
    // Only for the openers' ends, heard on its loop.
    dispatch::Dispatcher dispatcher_;
    std::unique_ptr<service_management::AgentService> agent_;
};

}  // namespace

std::unique_ptr<SetupSystem> linuxSetupSystem() { return std::make_unique<LinuxSetupSystem>(); }

}  // namespace companion::setup
