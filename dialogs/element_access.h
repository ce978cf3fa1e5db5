#pragma once
// What the dialog assistant's operations share: the trust check, the reading rule and the
// element helpers.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility/accessibility.h"

namespace companion::dialogs {

using accessibility::Accessibility;
using accessibility::Element;

// A rectangle in the interface's space: origin at the main display's top-left corner, y downward.
struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Frame&) const = default;
};

// Attribute names.
inline constexpr std::string_view focusedWindowAttribute = accessibility::attribute::focusedWindow;
inline constexpr std::string_view windowsAttribute = accessibility::attribute::windows;
inline constexpr std::string_view childrenAttribute = accessibility::attribute::children;
inline constexpr std::string_view identifierAttribute = accessibility::attribute::identifier;
inline constexpr std::string_view roleAttribute = accessibility::attribute::role;
inline constexpr std::string_view subroleAttribute = accessibility::attribute::subrole;
inline constexpr std::string_view descriptionAttribute = accessibility::attribute::description;
inline constexpr std::string_view positionAttribute = accessibility::attribute::position;
inline constexpr std::string_view sizeAttribute = accessibility::attribute::size;
inline constexpr std::string_view documentAttribute = accessibility::attribute::document;
inline constexpr std::string_view focusedElementAttribute = accessibility::attribute::focusedElement;
inline constexpr std::string_view valueAttribute = accessibility::attribute::value;

// How long an application element waits for its application, and the system-wide element for
// whichever application holds the focus.
inline constexpr double applicationMessagingTimeout = 0.25;
inline constexpr double systemWideMessagingTimeout = 0.3;

// The reading rule: a value counts only when the call succeeded, the value is not null and it is
// of the kind asked for; everything else is absent.
template <class Kind>
std::optional<Kind> readAttribute(Accessibility& ax, const Element& element, std::string_view attribute) {
    auto read = ax.copyAttributeValue(element, attribute);
    if (read.error != accessibility::success || !read.value) return std::nullopt;
    auto* value = std::get_if<Kind>(&*read.value);
    if (!value) return std::nullopt;
    return std::move(*value);
}
inline std::string readString(Accessibility& ax, const Element& element, std::string_view attribute) {
    return readAttribute<std::string>(ax, element, attribute).value_or(std::string{});
}
inline std::vector<Element> readElements(Accessibility& ax, const Element& element, std::string_view attribute) {
    return readAttribute<std::vector<Element>>(ax, element, attribute).value_or(std::vector<Element>{});
}

// The application's element, waiting at most `applicationMessagingTimeout` for each answer.
Element applicationElement(Accessibility& ax, int32_t pid);
// The element with the keyboard focus anywhere on the system, or none.
std::optional<Element> focusedElement(Accessibility& ax);
// The element's position and size, or none when either cannot be read.
std::optional<Frame> frameOfElement(Accessibility& ax, const Element& element);

}  // namespace companion::dialogs
