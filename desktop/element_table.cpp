#include "desktop/element_table.h"

namespace companion::desktop {

namespace {
// Enough for many walks of a large dialog; past it the oldest half is forgotten, and a request
// that still held one of those ids reads it as an element that no longer exists.
constexpr size_t maxElements = 16384;
}  // namespace

uint64_t ElementTable::idOf(AtspiAccessible* accessible) {
    const char* bus = accessible->parent.app ? accessible->parent.app->bus_name : "";
    Name name{bus ? bus : "", accessible->parent.path ? accessible->parent.path : ""};
    if (auto known = byName_.find(name); known != byName_.end()) return known->second;
    if (byId_.size() >= maxElements) forgetOldest();
    const uint64_t id = next_++;
    byId_.emplace(id, Entry{AccessibleRef(static_cast<AtspiAccessible*>(g_object_ref(accessible))), name});
    byName_.emplace(std::move(name), id);
    return id;
}

AtspiAccessible* ElementTable::find(uint64_t id) const {
    auto entry = byId_.find(id);
    return entry == byId_.end() ? nullptr : entry->second.accessible.get();
}

void ElementTable::forgetOldest() {
    auto end = byId_.begin();
    std::advance(end, byId_.size() / 2);
    for (auto it = byId_.begin(); it != end; ++it) byName_.erase(it->second.name);
    byId_.erase(byId_.begin(), end);
}

}  // namespace companion::desktop
