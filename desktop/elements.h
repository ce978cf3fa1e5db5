#pragma once
// Reading other applications' elements: the accessibility interface's attribute reads and its
// one write, answered from the objects on the accessibility bus.

#include <optional>
#include <string>
#include <string_view>

#include "desktop/atspi_session.h"
#include "platform/accessibility/accessibility.h"

namespace companion::desktop {

// A field the assistant has just filled, until the path in it is confirmed.
struct FilledField {
    uint64_t fieldId = 0;
    uint64_t dialogId = 0;  // the dialog's window: one record per dialog
    std::string path;
    // A Save dialog's file name, to give back once the dialog has moved to the folder; in an
    // embedded chooser, what the field held.
    std::string fileName;
    // False in a chooser embedded in a program's window: no Return, the field's text back at
    // once, and the chooser walked to the folder instead.
    bool confirmable = true;
};

// Every call with the session's lock held.
class Elements {
public:
    explicit Elements(AtspiSession& session) : session_(session) {}

    accessibility::AttributeRead read(const accessibility::Element& element, std::string_view attribute);
    // Writes a field's text; on success, what was filled.
    accessibility::Error setValue(const accessibility::Element& element, std::string_view attribute,
                                  const std::string& value, std::optional<FilledField>& filled);

private:
    accessibility::AttributeRead readOf(const accessibility::Element& element, AtspiAccessible* accessible,
                                        std::string_view attribute);
    accessibility::AttributeRead applicationRead(const accessibility::Element& app, AtspiAccessible* accessible,
                                                 std::string_view attribute);
    accessibility::AttributeRead elementList(const accessibility::Element& from, AtspiAccessible* accessible);
    accessibility::AttributeRead windowList(const accessibility::Element& app, AtspiAccessible* accessible);
    accessibility::AttributeRead identifier(AtspiAccessible* accessible);
    accessibility::AttributeRead systemWideRead(std::string_view attribute);

    AtspiSession& session_;
};

}  // namespace companion::desktop
