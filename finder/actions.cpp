#include "finder/actions.h"

#include <chrono>
#include <memory>
#include <tuple>

#include "core/input_checks.h"
#include "core/scripts.h"

namespace companion::finder {

using namespace service;

namespace {

constexpr std::string_view getInfoHeader = "tell application \"Finder\"\nactivate\n";
constexpr std::string_view getInfoLineOpening = "open information window of (POSIX file \"";
constexpr std::string_view getInfoLineClosing = "\" as alias)";
constexpr std::string_view getInfoFooter = "\nend tell";

// Finder is given this long to quit before it is opened again; nothing checks that it did.
constexpr auto relaunchDelay = std::chrono::milliseconds(1500);

std::vector<std::string> existingStandardizedPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> kept;
    for (const std::string& path : paths) {
        if (auto standardized = sanitizedPath(path, true)) kept.push_back(std::move(*standardized));
    }
    return kept;
}

void finderGetInfoWithPaths(CompanionSession& session, Args<msg::finderGetInfoWithPaths> args,
                            Reply<msg::finderGetInfoWithPaths> reply) {
    auto paths = existingStandardizedPaths(std::get<0>(args));
    if (paths.empty()) return reply.refuse();
    session.submit(std::move(reply), [paths = std::move(paths), self = session.shared_from_this()] {
        return std::tuple{!runAppleScript(self->platform(), getInfoScript(paths)).error};
    });
}

// The second half of a relaunch, on the main queue after the delay: find Finder and open it; the
// reply comes from the open's completion.
void openFinder(const std::shared_ptr<CompanionSession>& self, const Reply<msg::relaunchFinderWithReply>& reply) {
    auto& workspace = *self->platform().workspace;
    const auto location = workspace.applicationLocation(finderBundleIdentifier);
    if (!location) return reply(false);
    workspace.openApplication(*location, [reply](bool opened) { reply(opened); });
}

void relaunchFinderWithReply(CompanionSession& session, Args<msg::relaunchFinderWithReply>,
                             Reply<msg::relaunchFinderWithReply> reply) {
    auto self = session.shared_from_this();
    session.platform().mainQueue().async([self, reply = std::move(reply)] {
        auto& workspace = *self->platform().workspace;
        for (const auto& finder : workspace.runningApplications(finderBundleIdentifier)) workspace.terminate(finder.pid);
        // A delayed step, not a wait: the main thread stays free for every other request.
        self->platform().mainQueue().asyncAfter(
            relaunchDelay, std::make_shared<dispatch::WorkItem>([self, reply] { openFinder(self, reply); }));
    });
}

}  // namespace

std::string getInfoScript(const std::vector<std::string>& paths) {
    std::string script(getInfoHeader);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) script += lineFeed;
        script += getInfoLineOpening;
        script += scriptLiteralEscaped(paths[i]);
        script += getInfoLineClosing;
    }
    script += getInfoFooter;
    return script;
}

void installActionServices(Services& services) {
    services.handlers.finderGetInfoWithPaths = &finderGetInfoWithPaths;
    services.handlers.relaunchFinderWithReply = &relaunchFinderWithReply;
}

}  // namespace companion::finder
