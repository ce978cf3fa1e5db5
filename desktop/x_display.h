#pragma once
// The X server: who holds the keyboard, bringing a window forward, synthetic keys (XTest), the
// screen's height and the alert. A server that goes away makes every later call a quiet failure,
// never the end of the process.

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion::desktop {

class XDisplay {
public:
    XDisplay() = default;
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;
    ~XDisplay();

    // Whether a server answers now (connecting on first use, again after one went away).
    bool available();
    std::optional<int32_t> focusedPid();
    bool activate(int32_t pid);
    double screenHeight();
    void bell();

    // One press of a key, with Control held when asked; false when nothing was sent.
    bool pressKey(unsigned long keysym, bool control);
    // Types each character as its own key press, binding a spare key code for a moment when
    // the keyboard map has none for it.
    void typeText(std::u32string_view text);
    // Selects all of the focused field's text (Control-A) and reads it back through the primary
    // selection, which the field's application then owns; none when it does not answer within
    // the limit. For fields whose text the accessibility bus does not give.
    std::optional<std::string> selectAllAndRead();

private:
    Display* display();
    void lost();
    std::optional<int32_t> pidOfWindow(Window window);
    bool hasWindowManager();
    std::vector<Window> topLevelWindows();
    bool pressKeycode(unsigned int keycode, bool shift, bool control);
    void typeCharacter(char32_t character);
    unsigned long atom(const char* name);
    bool waitForOwnerOtherThan(Window window, unsigned long selection);
    std::optional<std::string> convertSelection(unsigned long selection);

    Window requestor_ = None;  // ours, to take selections to

    Display* display_ = nullptr;
    bool lost_ = false;
};

}  // namespace companion::desktop
