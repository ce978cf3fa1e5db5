#include "dialogs/element_access.h"

namespace companion::dialogs {

Element applicationElement(Accessibility& ax, int32_t pid) {
    Element app = ax.applicationElement(pid);
    app.messagingTimeout = applicationMessagingTimeout;
    return app;
}

std::optional<Element> focusedElement(Accessibility& ax) {
    Element system = ax.systemWideElement();
    system.messagingTimeout = systemWideMessagingTimeout;
    return readAttribute<Element>(ax, system, focusedElementAttribute);
}

std::optional<Frame> frameOfElement(Accessibility& ax, const Element& element) {
    auto position = readAttribute<accessibility::Point>(ax, element, positionAttribute);
    if (!position) return std::nullopt;
    auto size = readAttribute<accessibility::Size>(ax, element, sizeAttribute);
    if (!size) return std::nullopt;
    return Frame{position->x, position->y, size->width, size->height};
}

}  // namespace companion::dialogs
