#pragma once
// The one shape of most tool-backed messages: on the arriving queue, a plan (the checked
// arguments turned into the runs to make, or none when refused); on `work`, the runs, one after
// the other, on the event loop so that no thread waits while the tools work; then an answer built
// from their results, on `work`. `toolMessage` is that shape.

#include <optional>
#include <tuple>
#include <utility>

#include "core/session.h"
#include "core/tool_run.h"

namespace companion {

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

}  // namespace companion
