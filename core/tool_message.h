#pragma once
// The one shape of most tool-backed messages: on the arriving queue, a plan (the checked
// arguments turned into the runs to make, or none when refused); on `work`, the runs, one after
// the other; then an answer built from their results. `toolMessage` is that shape.

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
// the runs happen on `work` and `answer` turns their results into the reply.
template <class M, class Runs, class Answer>
void replyAfterToolRuns(CompanionSession& session, service::Reply<M> reply, std::optional<Runs> runs,
                        Answer answer) {
    if (!runs) return reply.refuse();
    session.submit(std::move(reply), [runs = std::move(*runs), answer, self = session.shared_from_this()] {
        return typename M::Replies::Tuple(answer(runTool(self->platform(), runs)));
    });
}

// A message served by tool runs alone: `plan(platform, arguments)` gives the runs (a `ToolRun`
// or a list of them) or none, `answer(results)` the reply.
template <class M, auto plan, auto answer>
void toolMessage(CompanionSession& session, service::Args<M> arguments, service::Reply<M> reply) {
    replyAfterToolRuns(session, std::move(reply), plan(session.platform(), arguments), answer);
}

}  // namespace companion
