// tavro-companion-image: the disk-image tool the agent runs where the system has none. It accepts
// the agent's five invocations (vault create, attach, detach; info; archive create) and answers
// as the agent expects: exit status 0 on success, the failure on standard error, property lists
// on standard output.

#include <unistd.h>

#include <string>
#include <variant>
#include <vector>

#include "image_tool/archive.h"
#include "image_tool/child_run.h"
#include "image_tool/invocation.h"
#include "image_tool/password.h"
#include "image_tool/vault.h"
#include "platform/unique_fd.h"

namespace {

using namespace companion;
using namespace companion::image_tool;

constexpr int refusedStatus = 1;

Outcome perform(const Invocation& invocation, int endSignals) {
    const auto password = [] { return readPassword(STDIN_FILENO); };
    return std::visit(
        [&](const auto& request) -> Outcome {
            using Request = std::decay_t<decltype(request)>;
            if constexpr (std::is_same_v<Request, CreateVault>) return createVault(request, password(), endSignals);
            if constexpr (std::is_same_v<Request, AttachVault>) return attachVault(request, password(), endSignals);
            if constexpr (std::is_same_v<Request, DetachVault>) return detachVault(request, endSignals);
            if constexpr (std::is_same_v<Request, ListAttached>) return listAttachedVaults();
            if constexpr (std::is_same_v<Request, CreateArchive>) return createArchive(request, password(), endSignals);
            if constexpr (std::is_same_v<Request, Refusal>) return {refusedStatus, "", request.reason + "\n"};
        },
        invocation);
}

void writeAll(int fd, const std::string& text) {
    writeAllWith(text, [fd](const char* data, size_t size) { return ::write(fd, data, size); });
}

}  // namespace

int main(int argc, char** argv) {
    const UniqueFd endSignals = holdEndSignals();
    const Outcome outcome = perform(parseInvocation({argv + 1, argv + argc}), endSignals.get());
    writeAll(STDOUT_FILENO, outcome.output);
    writeAll(STDERR_FILENO, outcome.errorText);
    return outcome.status;
}
