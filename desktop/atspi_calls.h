#pragma once
// libatspi's calls with their errors turned into the interface's codes and every returned object
// and string owned.

#include <atspi/atspi.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility/accessibility.h"
#include "desktop/element_table.h"

namespace companion::desktop {

// The plugin answers the accessibility interface: its codes, values and names are the words here.
using namespace companion::accessibility;

// The call's outcome: success, or the code of why it failed.
class CallError {
public:
    GError** out() { return &error_; }
    Error code() const;
    explicit operator bool() const { return error_ != nullptr; }
    ~CallError() {
        if (error_) g_error_free(error_);
    }

private:
    GError* error_ = nullptr;
};

struct Owned {
    // Frees a string libatspi handed over; empty for none.
    static std::string text(gchar* value);
};

AtspiRole roleOf(AtspiAccessible* accessible, CallError& error);
std::vector<AccessibleRef> childrenOf(AtspiAccessible* accessible, CallError& error);
AccessibleRef parentOf(AtspiAccessible* accessible);
bool hasState(AtspiAccessible* accessible, AtspiStateType state);
// On the screen now. GTK 4.8 never says "showing", only "visible" (which GTK 3 also says of what
// it keeps off screen), so "visible" counts for GTK 4 alone.
bool isShown(AtspiAccessible* accessible);
bool isGtk4(AtspiAccessible* accessible);
// The text of an element with a text interface; none without one, and none when it cannot tell
// (GTK 4.8 answers every field's text with an empty one).
std::optional<std::string> textOf(AtspiAccessible* accessible);
bool isEditable(AtspiAccessible* accessible);
std::string nameOf(AtspiAccessible* accessible);
bool isRole(AtspiAccessible* accessible, AtspiRole role);
// A text field that takes typed text now.
bool isEditableText(AtspiAccessible* accessible);
// The object's interfaces, owned: none when it has not that one.
AccessibleRef editableTextOf(AtspiAccessible* accessible);
AccessibleRef componentOf(AtspiAccessible* accessible);
// The element's box in those coordinates; none without a component or when the call failed.
std::optional<AtspiRect> extentsOf(AtspiAccessible* accessible, AtspiCoordType coordinates, CallError& error);
// Does the element's action of that name (looked up by name: the order differs between
// versions); false when it has none such or the call failed.
bool doAction(AtspiAccessible* accessible, std::string_view name);

// Walks the showing elements below `root` (not `root` itself), depth first, at most `depth`
// levels down; lists and tables are not entered (their rows are many and never what is sought).
// Stops at the first element for which `wanted` is true and returns it.
template <class Wanted>
AccessibleRef findBelow(AtspiAccessible* root, int depth, const Wanted& wanted);

}  // namespace companion::desktop

#include "desktop/atspi_calls_impl.h"
