#include "service/messages.h"

#include <algorithm>

namespace companion::service {

namespace {
const MessageInfo* findIn(std::span<const MessageInfo> table, std::string_view selector) {
    auto it = std::find_if(table.begin(), table.end(),
                           [&](const MessageInfo& m) { return m.selector == selector; });
    return it == table.end() ? nullptr : &*it;
}
}  // namespace

const MessageInfo* findServiceMessage(std::string_view selector) {
    return findIn(serviceMessages, selector);
}
const MessageInfo* findClientMessage(std::string_view selector) {
    return findIn(clientMessages, selector);
}

}  // namespace companion::service
