#pragma once
// One way of describing a run of a fixed system tool, so that every message that runs one reads
// the same: which tool (a path from the tool table), its arguments, what it reads, its
// environment and its time limit.
//
// Most tool-backed messages have one shape: on the arriving queue, a plan (the checked
// arguments turned into the runs to make, or none when refused); on `work`, the runs, one after
// the other; then an answer built from their results. `toolMessage` is that shape.

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/command_runner.h"
#include "core/session.h"
#include "platform/platform.h"

namespace companion {

struct ToolRun {
    std::string executable;  // absolute, from the platform's tool table
    std::vector<std::string> arguments;
    std::optional<Bytes> input;               // absent: the null device
    std::optional<Environment> environment;   // absent: the agent's own
    double timeLimitSeconds = 60.0;
    bool operator==(const ToolRun&) const = default;
};

// Runs `run` through `runCommand`, its time limit scaled by the platform (tests shorten it).
CommandResult runTool(const Platform& platform, const ToolRun& run);
// Runs each in order, each to its end before the next starts.
std::vector<CommandResult> runTool(const Platform& platform, const std::vector<ToolRun>& runs);

// The same runs without holding a thread while they wait: on the platform's event loop, each
// to its end before the next starts; `done` is called on the loop's thread and must be short.
void runToolOnLoop(const Platform& platform, ToolRun run, std::function<void(CommandResult)> done);
void runToolOnLoop(const Platform& platform, std::vector<ToolRun> runs,
                   std::function<void(std::vector<CommandResult>)> done);

using process::isExecutableFile;

// Answers that several messages give.
inline std::tuple<std::string> standardOutput(const CommandResult& result) { return {result.output}; }
inline std::tuple<int32_t, std::string> statusAndErrorOutput(const CommandResult& result) {
    return {result.status, result.errorOutput};
}

// Checks on the arriving queue; none refuses the request at once and nothing runs. Otherwise
// the runs happen on the event loop, holding no thread while the tools work, and `answer` turns
// their results into the reply on `work`.
template <class M, class Runs, class Answer>
void replyAfterToolRuns(CompanionSession& session, service::Reply<M> reply, std::optional<Runs> runs,
                        Answer answer) {
    if (!runs) return reply.refuse();
    runToolOnLoop(session.platform(), std::move(*runs),
                  [reply = std::move(reply), answer, self = session.shared_from_this()](auto results) mutable {
                      self->submit(std::move(reply), [answer, results = std::move(results)] {
                          return typename M::Replies::Tuple(answer(results));
                      });
                  });
}

// A message served by tool runs alone: `plan(platform, arguments)` gives the runs (a `ToolRun`
// or a list of them) or none, `answer(results)` the reply.
template <class M, auto plan, auto answer>
void toolMessage(CompanionSession& session, service::Args<M> arguments, service::Reply<M> reply) {
    replyAfterToolRuns(session, std::move(reply), plan(session.platform(), arguments), answer);
}

// The umount run of one mount point, plain or forced: shared by the unmount request and the
// end of a session's mounts, which must agree on it.
ToolRun unmountRun(const Platform& platform, const std::string& mountPoint, bool force);

}  // namespace companion
