#pragma once
// The dialog assistant's end-to-end fixture: a headless desktop of its own, the built agent on
// it, and requests sent through the command-line client, retried until their reply is the one
// awaited (the desktop's programs show their windows when they will).

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/desktop_session.h"
#include "support/eventually.h"
#include "support/files.h"

namespace companion::testing {

inline constexpr auto assistantLookLimit = std::chrono::seconds(20);
inline constexpr auto assistantLookInterval = std::chrono::milliseconds(200);
// How long one request through the command-line client may take.
inline constexpr double assistantCallLimitSeconds = 60;

class DialogAssistant : public ::testing::Test {
protected:
    using json = nlohmann::json;

    explicit DialogAssistant(DisplayServer server = DisplayServer::x11) : desktop(server) {}

    void SetUp() override {
        if (!desktop.unavailable().empty()) GTEST_SKIP() << "no headless desktop: " << desktop.unavailable();
    }
    void startAgent() {
        agent.emplace();
        ASSERT_TRUE(agent->waitForSocket());
    }
    // The reply's values, or null when the client got none.
    json call(const std::vector<std::string>& message, double limitSeconds = assistantCallLimitSeconds) {
        std::vector<std::string> words{"call"};
        words.insert(words.end(), message.begin(), message.end());
        const auto result = ctl(agent->socketPath(), words, limitSeconds);
        if (result.status != 0) return nullptr;
        return json::parse(result.output.substr(result.output.rfind('{')))["reply"];
    }
    // Asks again until `accepted` holds: the look is retried, never the assertion.
    template <class Accepted>
    json lookUntil(const std::vector<std::string>& message, Accepted accepted) {
        json reply;
        eventually([&] { return !(reply = call(message)).is_null() && accepted(reply); }, assistantLookLimit,
                   assistantLookInterval);
        return reply;
    }
    std::filesystem::path folder(const std::string& name, int files) {
        const std::filesystem::path path = folders.path() / name;
        std::filesystem::create_directories(path);
        for (int i = 0; i < files; ++i) writeFile(path / ("file" + std::to_string(i) + ".txt"), "x");
        return path;
    }

    DesktopSession desktop;
    std::optional<AgentProcess> agent;
    TempDir folders;
};

}  // namespace companion::testing
