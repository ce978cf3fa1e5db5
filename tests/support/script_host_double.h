#pragma once
// A script host that records every script it is given, and the main loop scripts run on.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/script/script_host.h"
#include "support/main_loop.h"

namespace companion::testing {

// Records each script, whether it ran on the main thread and how many ran at once; answers with
// `respond` (success with no text unless a test says otherwise), or hands the script to `inner`.
class RecordingScriptHost final : public script::ScriptHost {
public:
    explicit RecordingScriptHost(const dispatch::MainQueue& main) : main_(main) {}

    std::optional<script::ScriptOutcome> execute(const std::string& source,
                                                 const script::ShellRunner& runShell) override {
        const int running = ++running_;
        {
            std::lock_guard lock(mutex_);
            sources_.push_back(source);
            allOnMain_ = allOnMain_ && main_.isCurrent();
            anyOnMain_ = anyOnMain_ || main_.isCurrent();
            mostAtOnce_ = std::max(mostAtOnce_, running);
        }
        std::this_thread::sleep_for(hold);
        auto outcome = inner ? inner->execute(source, runShell) : respond(source);
        --running_;
        return outcome;
    }

    std::vector<std::string> sources() const {
        std::lock_guard lock(mutex_);
        return sources_;
    }
    bool allOnMain() const {
        std::lock_guard lock(mutex_);
        return allOnMain_;
    }
    bool anyOnMain() const {
        std::lock_guard lock(mutex_);
        return anyOnMain_;
    }
    int mostAtOnce() const {
        std::lock_guard lock(mutex_);
        return mostAtOnce_;
    }

    std::function<std::optional<script::ScriptOutcome>(const std::string&)> respond =
        [](const std::string&) { return script::ScriptOutcome{}; };
    std::shared_ptr<script::ScriptHost> inner;
    std::chrono::milliseconds hold{0};

private:
    const dispatch::MainQueue& main_;
    mutable std::mutex mutex_;
    std::vector<std::string> sources_;
    bool allOnMain_ = true;
    bool anyOnMain_ = false;
    int mostAtOnce_ = 0;
    std::atomic<int> running_{0};
};

inline script::ScriptOutcome scriptFailure(std::optional<std::string> message) {
    return {.failed = true, .text = std::nullopt, .message = std::move(message)};
}

// The system host as it runs for root: the privileged statement through the real shell.
inline std::shared_ptr<script::ScriptHost> rootShellHost() {
    return script::systemScriptHost({"/bin/sh", "", [] { return true; }});
}

}  // namespace companion::testing
