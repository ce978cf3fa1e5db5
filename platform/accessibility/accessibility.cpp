#include "platform/accessibility/accessibility.h"

namespace companion::accessibility {

namespace {

// Linux offers no interface through which one process may read or drive another's windows on the
// user's behalf, so the agent is never trusted: every read and write answers that the interface
// is disabled, and no event reaches anything.
class SystemAccessibility final : public Accessibility {
public:
    bool isProcessTrusted(bool) override { return false; }
    Element applicationElement(int32_t pid) override { return Element{pid, 0, std::nullopt}; }
    Element systemWideElement() override { return Element{}; }
    AttributeRead copyAttributeValue(const Element&, std::string_view) override { return {apiDisabled, {}}; }
    Error setAttributeValue(const Element&, std::string_view, const std::string&) override { return apiDisabled; }
    void postKeyboardEvent(const KeyboardEvent&) override {}
    double mainDisplayHeight() override { return 0; }
};

}  // namespace

std::shared_ptr<Accessibility> systemAccessibility() { return std::make_shared<SystemAccessibility>(); }

}  // namespace companion::accessibility
