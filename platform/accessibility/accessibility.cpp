#include "platform/accessibility/accessibility.h"

#include <utility>

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

constexpr char16_t replacementCharacter = 0xFFFD;

// The scalar that the sequence at `text[i]` encodes, and its length; none when it is not well
// formed (overlong, a surrogate, beyond U+10FFFF, cut short).
std::optional<std::pair<char32_t, size_t>> decodeScalar(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return std::pair{char32_t(lead), size_t{1}};
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    char32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        code = (code << 6) | (next & 0x3F);
    }
    constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    return std::pair{code, length};
}

}  // namespace

std::u16string utf16Units(std::string_view utf8) {
    std::u16string units;
    for (size_t i = 0; i < utf8.size();) {
        auto scalar = decodeScalar(utf8, i);
        if (!scalar) {
            units.push_back(replacementCharacter);
            ++i;
            continue;
        }
        auto [code, length] = *scalar;
        i += length;
        if (code < 0x10000) {
            units.push_back(static_cast<char16_t>(code));
            continue;
        }
        code -= 0x10000;
        units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
    return units;
}

std::shared_ptr<Accessibility> systemAccessibility() { return std::make_shared<SystemAccessibility>(); }

}  // namespace companion::accessibility
