#pragma once
// Handles for accessibility-bus objects: the same object always gets the same id, so that two
// reads of one element compare equal, as the interface promises.

#include <atspi/atspi.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace companion::desktop {

struct ObjectUnref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
using AccessibleRef = std::unique_ptr<AtspiAccessible, ObjectUnref>;

class ElementTable {
public:
    // The id of the object, taking a reference of its own.
    uint64_t idOf(AtspiAccessible* accessible);
    // None once the id was never given or has been forgotten.
    AtspiAccessible* find(uint64_t id) const;

private:
    using Name = std::pair<std::string, std::string>;  // bus name, object path
    struct Entry {
        AccessibleRef accessible;
        Name name;
    };
    void forgetOldest();

    std::map<uint64_t, Entry> byId_;
    std::map<Name, uint64_t> byName_;
    uint64_t next_ = 1;
};

}  // namespace companion::desktop
