#pragma once
// The walk's template body, for atspi_calls.h.

#include "desktop/roles.h"

namespace companion::desktop {

template <class Wanted>
AccessibleRef findBelow(AtspiAccessible* root, int depth, const Wanted& wanted) {
    if (depth < 1) return nullptr;
    CallError error;
    for (auto& child : childrenOf(root, error)) {
        if (!isShown(child.get())) continue;
        if (wanted(child.get())) return std::move(child);
        CallError roleError;
        if (isCollectionRole(roleOf(child.get(), roleError))) continue;
        if (auto found = findBelow(child.get(), depth - 1, wanted)) return found;
    }
    return nullptr;
}

}  // namespace companion::desktop
