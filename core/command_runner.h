#pragma once
// The one routine that runs a system tool for a service request.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace companion::dispatch {
class EventLoop;
}

namespace companion {

struct CommandResult {
    int32_t status = -1;      // exit code, signal number, or -1 when the tool could not start
    std::string output;       // standard output, UTF-8 with invalid sequences replaced
    std::string errorOutput;  // standard error, or the launch error's description
    bool operator==(const CommandResult&) const = default;
};

using Bytes = std::vector<uint8_t>;

// How long a tool has to clean up after SIGTERM (its time limit, or its connection's end)
// before SIGKILL follows. SIGTERM alone would let a tool that ignores it keep its place among
// the running tools for ever, and 64 such tools would stop every tool run of the agent; a few
// seconds are plenty for a tool that does handle it.
inline constexpr std::chrono::seconds toolKillGrace{5};

// Runs `executable` (absolute path, never searched in PATH) with `arguments`.
// `input` absent: standard input is the null device; present: a pipe that receives exactly these
// bytes and is then closed. `environment` present: the child's complete environment.
// After `timeout` seconds the child receives SIGTERM, and SIGKILL a grace period later if it is
// still there, so that its place comes back. At most 64 tools of
// the agent run at once; a run waits for its place in arrival order, and its time limit counts
// from its launch. Blocks until the child has ended and its outputs are read (the pool lends the
// caller's place meanwhile); outputs that a descendant still holds open two seconds after the
// child ended are cut off there.
CommandResult runCommand(const std::string& executable, const std::vector<std::string>& arguments,
                         const std::optional<Bytes>& input = std::nullopt,
                         const std::optional<Environment>& environment = std::nullopt,
                         double timeout = 60.0);

// The same run without holding any thread while it waits: the child's pipes and its end are
// watched on `loop`, and `done` is called there with the result. Like every run, it waits for a
// place among the agent's running tools first, in arrival order; its time limit counts from its
// launch.
void runCommandOnLoop(dispatch::EventLoop& loop, std::string executable, std::vector<std::string> arguments,
                      std::optional<Bytes> input, std::optional<Environment> environment, double timeout,
                      std::function<void(CommandResult)> done);

// Tool runs of the agent that hold a place or wait for one.
size_t toolRunsInProgress();

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string decodeUtf8Lossy(const char* data, size_t size);
inline std::string decodeUtf8Lossy(const std::string& bytes) {
    return decodeUtf8Lossy(bytes.data(), bytes.size());
}

}  // namespace companion
