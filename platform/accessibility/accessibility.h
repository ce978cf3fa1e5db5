#pragma once
// Reading and driving other applications' user interfaces: element handles, attribute reads and
// writes with their error codes, the trust that the user grants, keyboard events and the main
// display's height.
//
// The system implementation answers for this desktop; tests drive a model of applications.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace companion::accessibility {

// The code every call returns; 0 is success, every other value is the interface's own.
using Error = int32_t;
inline constexpr Error success = 0;
// The interface is disabled for this process: it is not trusted.
inline constexpr Error apiDisabled = -25211;
// The application did not answer within the element's messaging time limit, or cannot be reached.
inline constexpr Error cannotComplete = -25204;
// The element no longer exists (its window closed, its application ended).
inline constexpr Error invalidElement = -25202;
// The element has no such attribute, or refuses the value written.
inline constexpr Error attributeUnsupported = -25205;
// The attribute exists but has no value now.
inline constexpr Error noValue = -25212;

// How long a call on an element with no limit of its own waits for its application.
inline constexpr double defaultMessagingTimeout = 6.0;

// One user-interface element of some process. Two handles name the same element when they are
// equal; the messaging limit travels with the handle and is no part of its identity.
struct Element {
    int32_t pid = 0;  // the owning process; 0 for the system-wide element
    uint64_t id = 0;  // the element within its process; 0 for the process's application element
    std::optional<double> messagingTimeout;  // seconds; none: the interface's default

    friend bool operator==(const Element& a, const Element& b) { return a.pid == b.pid && a.id == b.id; }
};

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};
// A value of a kind the assistant never reads (a number, a range, ...).
struct OtherValue {
    bool operator==(const OtherValue&) const = default;
};

using Value = std::variant<Element, std::vector<Element>, std::string, Point, Size, OtherValue>;

// The answer to one attribute read: the call's code and, when it succeeded, the value (which may
// still be null).
struct AttributeRead {
    Error error = success;
    std::optional<Value> value;
};

// Attribute names, as both sides of the interface spell them.
namespace attribute {
inline constexpr std::string_view focusedWindow = "AXFocusedWindow";
inline constexpr std::string_view windows = "AXWindows";
inline constexpr std::string_view children = "AXChildren";
inline constexpr std::string_view identifier = "AXIdentifier";
inline constexpr std::string_view role = "AXRole";
inline constexpr std::string_view subrole = "AXSubrole";
inline constexpr std::string_view description = "AXDescription";
inline constexpr std::string_view position = "AXPosition";
inline constexpr std::string_view size = "AXSize";
inline constexpr std::string_view document = "AXDocument";
inline constexpr std::string_view focusedElement = "AXFocusedUIElement";
inline constexpr std::string_view value = "AXValue";
}  // namespace attribute

// The identifiers the system gives the Open and Save panels and their go-to-folder field.
inline constexpr std::string_view openPanelIdentifier = "open-panel";
inline constexpr std::string_view savePanelIdentifier = "save-panel";
inline constexpr std::string_view pathFieldIdentifier = "PathTextField";

// Key codes of the keys the assistant presses.
inline constexpr uint16_t aKeyCode = 0;
inline constexpr uint16_t gKeyCode = 5;
inline constexpr uint16_t returnKeyCode = 36;

// Flags of keyboard events.
inline constexpr uint64_t commandFlag = 0x100000;
inline constexpr uint64_t shiftFlag = 0x20000;
// The most UTF-16 code units one event carries as its text.
inline constexpr size_t maxEventUnicodeUnits = 18;

struct KeyboardEvent {
    uint16_t keyCode = 0;
    bool keyDown = true;
    std::optional<uint64_t> flags;  // none: the event's flags were never set
    std::u16string unicodeString;   // at most `maxEventUnicodeUnits`
    bool operator==(const KeyboardEvent&) const = default;
};

// The text's UTF-16 code units, as an event carries them; an invalid UTF-8 sequence becomes U+FFFD.
std::u16string utf16Units(std::string_view utf8);

class Accessibility {
public:
    virtual ~Accessibility() = default;

    // Whether this process is trusted. With `prompt`, an untrusted process also asks the system
    // to offer the user the permission; the answer never waits for the user.
    virtual bool isProcessTrusted(bool prompt) = 0;

    // The element of the application with this process id (the process need not exist).
    virtual Element applicationElement(int32_t pid) = 0;
    // The element that stands for the whole system (the focus, wherever it is).
    virtual Element systemWideElement() = 0;

    virtual AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) = 0;
    virtual Error setAttributeValue(const Element& element, std::string_view attribute, const std::string& value) = 0;

    // The documents of the application's windows in its window order, when the application
    // publishes them itself (a file manager may, on the session bus); none when they are to be read
    // window by window. The application's own answer waits at most the element's messaging limit.
    virtual std::optional<std::vector<std::string>> publishedWindowDocuments(const Element&) { return std::nullopt; }

    // Posts one event where the hardware's events enter the system.
    virtual void postKeyboardEvent(const KeyboardEvent& event) = 0;
    // The height of the main display's bounds, in points, now.
    virtual double mainDisplayHeight() = 0;
};

class LazyDesktop;

// This desktop's answers, from the desktop plugin once something asks; not trusted when the
// plugin cannot be loaded.
std::shared_ptr<Accessibility> systemAccessibility(std::shared_ptr<LazyDesktop> desktop);

}  // namespace companion::accessibility
