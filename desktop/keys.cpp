#include "desktop/keys.h"

namespace companion::desktop {

namespace {

using namespace accessibility;

constexpr uint64_t goToFolderFlags = commandFlag | shiftFlag;
constexpr uint64_t selectAllFlags = commandFlag;
constexpr char16_t highSurrogateStart = 0xD800, lowSurrogateStart = 0xDC00, surrogateEnd = 0xE000;
constexpr char32_t supplementaryStart = 0x10000;

bool isHighSurrogate(char16_t unit) { return unit >= highSurrogateStart && unit < lowSurrogateStart; }
bool isLowSurrogate(char16_t unit) { return unit >= lowSurrogateStart && unit < surrogateEnd; }

}  // namespace

KeyAction keyActionOf(const KeyboardEvent& event) {
    // A press is a whole key stroke here: its key-up half has nothing left to do.
    if (!event.keyDown) return KeyAction::none;
    if (!event.unicodeString.empty()) return KeyAction::typeText;
    const uint64_t flags = event.flags.value_or(0);
    if (event.keyCode == gKeyCode && flags == goToFolderFlags) return KeyAction::goToFolder;
    if (event.keyCode == aKeyCode && flags == selectAllFlags) return KeyAction::selectAll;
    if (event.keyCode == returnKeyCode) return KeyAction::confirm;
    return KeyAction::none;
}

std::u32string utf32(std::u16string_view units) {
    std::u32string text;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t unit = units[i];
        if (isHighSurrogate(units[i]) && i + 1 < units.size() && isLowSurrogate(units[i + 1]))
            unit = supplementaryStart + ((unit - highSurrogateStart) << 10) + (units[++i] - lowSurrogateStart);
        text.push_back(unit);
    }
    return text;
}

}  // namespace companion::desktop
