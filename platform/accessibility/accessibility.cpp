#include "platform/accessibility/accessibility.h"

#include <utility>

#include "platform/accessibility/desktop.h"

namespace companion::accessibility {

namespace {

// Hands every call to the desktop plugin, loading it on the first one. Without the plugin nothing
// is trusted, read or posted.
class SystemAccessibility final : public Accessibility {
public:
    explicit SystemAccessibility(std::shared_ptr<LazyDesktop> desktop) : desktop_(std::move(desktop)) {}

    bool isProcessTrusted(bool prompt) override {
        auto* ax = loaded();
        return ax && ax->isProcessTrusted(prompt);
    }
    Element applicationElement(int32_t pid) override {
        auto* ax = loaded();
        return ax ? ax->applicationElement(pid) : Element{pid, 0, std::nullopt};
    }
    Element systemWideElement() override {
        auto* ax = loaded();
        return ax ? ax->systemWideElement() : Element{};
    }
    AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override {
        auto* ax = loaded();
        return ax ? ax->copyAttributeValue(element, attribute) : AttributeRead{apiDisabled, {}};
    }
    Error setAttributeValue(const Element& element, std::string_view attribute, const std::string& value) override {
        auto* ax = loaded();
        return ax ? ax->setAttributeValue(element, attribute, value) : apiDisabled;
    }
    std::optional<std::vector<std::string>> publishedWindowDocuments(const Element& application) override {
        auto* ax = loaded();
        return ax ? ax->publishedWindowDocuments(application) : std::nullopt;
    }
    void postKeyboardEvent(const KeyboardEvent& event) override {
        if (auto* ax = loaded()) ax->postKeyboardEvent(event);
    }
    double mainDisplayHeight() override {
        auto* ax = loaded();
        return ax ? ax->mainDisplayHeight() : 0;
    }

private:
    Accessibility* loaded() {
        auto* desktop = desktop_->get();
        return desktop ? &desktop->accessibility() : nullptr;
    }

    std::shared_ptr<LazyDesktop> desktop_;
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

std::shared_ptr<Accessibility> systemAccessibility(std::shared_ptr<LazyDesktop> desktop) {
    return std::make_shared<SystemAccessibility>(std::move(desktop));
}

}  // namespace companion::accessibility
