#include "care/time_machine.h"

#include "core/tool_message.h"

namespace companion::care {

using namespace service;

namespace {

constexpr std::string_view listBackupsArguments[] = {"listbackups"};
constexpr double listBackupsTimeLimitSeconds = 10;

std::optional<ToolRun> listBackupsRun(const Platform& platform, const Args<msg::timeMachineBackupsWithReply>&) {
    return ToolRun{platform.tools.tmutil, {std::begin(listBackupsArguments), std::end(listBackupsArguments)},
                   std::nullopt, std::nullopt, listBackupsTimeLimitSeconds};
}

}  // namespace

void installTimeMachineServices(Services& services) {
    // No status travels back: a failing or missing tool shows as whatever it printed, often "".
    services.handlers.timeMachineBackupsWithReply =
        &toolMessage<msg::timeMachineBackupsWithReply, listBackupsRun, standardOutput>;
}

}  // namespace companion::care
