#pragma once
// Finding the Open or Save dialog that a process shows.

#include <optional>

#include "dialogs/element_access.h"


namespace companion::dialogs {

struct DetectedDialog {
    Frame frame;  // in the interface's space
    bool isSave = false;
    bool operator==(const DetectedDialog&) const = default;
};

// The sheet size from which a dialog without a panel identifier may be recognised by its sidebar.
inline constexpr double minimumSheetWidth = 420;
inline constexpr double minimumSheetHeight = 240;
inline constexpr int sidebarSearchDepth = 5;
// At most this many of the application's windows are examined, after its focused window.
inline constexpr size_t maxCandidateWindows = 8;

std::optional<DetectedDialog> findDialog(Accessibility& ax, int32_t pid);

// True when a sidebar outline lies one to `depth` levels below `element`.
bool hasSidebar(Accessibility& ax, const Element& element, int depth);

// The dialog's frame with its origin at the main display's bottom-left corner, y upward.
Frame screenFrame(const Frame& frame, double mainDisplayHeight);

}  // namespace companion::dialogs
