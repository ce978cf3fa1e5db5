#include "dialogs/detection.h"

#include <algorithm>
#include <array>

#include "dialogs/dialogs_services.h"

namespace companion::dialogs {

namespace {

using accessibility::openPanelIdentifier;
using accessibility::savePanelIdentifier;
constexpr std::array panelIdentifiers = {openPanelIdentifier, savePanelIdentifier};
constexpr std::string_view sheetRole = "AXSheet";
constexpr std::string_view outlineRole = "AXOutline";
constexpr std::string_view sidebarDescription = "sidebar";

bool isPanelIdentifier(std::string_view identifier) {
    return std::find(panelIdentifiers.begin(), panelIdentifiers.end(), identifier) != panelIdentifiers.end();
}

// A window or sheet that the system marks as its Open or Save panel.
std::optional<DetectedDialog> identifiedPanel(Accessibility& ax, const Element& element) {
    const std::string identifier = readString(ax, element, identifierAttribute);
    if (!isPanelIdentifier(identifier)) return std::nullopt;
    auto frame = frameOfElement(ax, element);
    if (!frame) return std::nullopt;
    return DetectedDialog{*frame, identifier == savePanelIdentifier};
}

bool isLargeEnough(const Frame& frame) {
    return frame.width >= minimumSheetWidth && frame.height >= minimumSheetHeight;
}

// A sheet attached to the window, recognised by its identifier or else by its size and sidebar.
// Such unidentified sheets are taken for Save dialogs: an Open dialog always carries its panel's
// identifier.
std::optional<DetectedDialog> dialogSheet(Accessibility& ax, const Element& child) {
    if (readString(ax, child, roleAttribute) != sheetRole) return std::nullopt;
    if (auto panel = identifiedPanel(ax, child)) return panel;
    auto frame = frameOfElement(ax, child);
    if (!frame || !isLargeEnough(*frame) || !hasSidebar(ax, child, sidebarSearchDepth)) return std::nullopt;
    return DetectedDialog{*frame, true};
}

std::vector<Element> candidateWindows(Accessibility& ax, const Element& app) {
    std::vector<Element> candidates;
    if (auto focused = readAttribute<Element>(ax, app, focusedWindowAttribute)) candidates.push_back(*focused);
    auto windows = readElements(ax, app, windowsAttribute);
    windows.resize(std::min(windows.size(), maxCandidateWindows));
    candidates.insert(candidates.end(), windows.begin(), windows.end());
    return candidates;
}

}  // namespace

bool hasSidebar(Accessibility& ax, const Element& element, int depth) {
    if (depth < 1) return false;
    for (const Element& child : readElements(ax, element, childrenAttribute)) {
        if (readString(ax, child, roleAttribute) == outlineRole &&
            readString(ax, child, descriptionAttribute) == sidebarDescription)
            return true;
        if (hasSidebar(ax, child, depth - 1)) return true;
    }
    return false;
}

std::optional<DetectedDialog> findDialog(Accessibility& ax, int32_t pid) {
    const Element app = applicationElement(ax, pid);
    for (const Element& window : candidateWindows(ax, app)) {
        if (auto panel = identifiedPanel(ax, window)) return panel;
        for (const Element& child : readElements(ax, window, childrenAttribute)) {
            if (auto sheet = dialogSheet(ax, child)) return sheet;
        }
    }
    return std::nullopt;
}

Frame screenFrame(const Frame& frame, double mainDisplayHeight) {
    return {frame.x, mainDisplayHeight - (frame.y + frame.height), frame.width, frame.height};
}

}  // namespace companion::dialogs

// ---- the message ----

namespace companion::dialogs {

using namespace service;

namespace {

using DetectionReply = msg::detectDialogWithPid::Replies::Tuple;

DetectionReply detect(const Platform& platform, int32_t pid) {
    auto& ax = *platform.accessibility;
    if (!ax.isProcessTrusted(false)) return msg::detectDialogWithPid::refused();
    if (auto dialog = findDialog(ax, pid)) {
        const Frame frame = screenFrame(dialog->frame, ax.mainDisplayHeight());
        return {{frame.x, frame.y, frame.width, frame.height}, dialog->isSave, accessibility::success};
    }
    // Nothing found: tell the client whether the application answered at all.
    const auto roleRead = ax.copyAttributeValue(applicationElement(ax, pid), roleAttribute);
    return {{}, false, roleRead.error};
}

void detectDialogWithPid(CompanionSession& session, Args<msg::detectDialogWithPid> args,
                         Reply<msg::detectDialogWithPid> reply) {
    const int32_t pid = std::get<0>(args);
    session.submit(WorkQueue::axQueue, std::move(reply),
                   [pid, self = session.shared_from_this()] { return detect(self->platform(), pid); });
}

}  // namespace

void installDetectionServices(Services& services) { services.handlers.detectDialogWithPid = &detectDialogWithPid; }

}  // namespace companion::dialogs
