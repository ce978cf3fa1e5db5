#include "desktop/gtk3.h"

#include <algorithm>
#include <climits>
#include <string_view>
#include <system_error>
#include <vector>

#include "desktop/atspi_calls.h"
#include "desktop/file_managers.h"

namespace companion::desktop::gtk3 {

namespace {

constexpr int nameFieldDepth = 5;
// How deep a program may hold a chooser inside its own window.
constexpr int embeddedChooserDepth = 6;
// The dialog's own buttons lie this deep (in its action area or its header bar).
constexpr int dialogButtonDepth = 4;

// The path bar's buttons and the file list lie this deep in the chooser widget.
constexpr int pathBarDepth = 12;
constexpr int fileListDepth = 8;
// A folder's rows are looked through this far for the next folder of a walk.
constexpr int maxRowsRead = 20000;
constexpr std::string_view clickAction = "click";
constexpr std::string_view activateAction = "activate";

bool isChooser(AtspiAccessible* element) { return isRole(element, ATSPI_ROLE_FILE_CHOOSER); }

bool isShownFolderButton(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_TOGGLE_BUTTON) && hasState(element, ATSPI_STATE_CHECKED);
}

bool isFileList(AtspiAccessible* element) {
    return isRole(element, ATSPI_ROLE_TABLE) || isRole(element, ATSPI_ROLE_TREE_TABLE);
}

int leftEdgeInWindow(AtspiAccessible* element) {
    CallError error;
    const auto box = extentsOf(element, ATSPI_COORD_TYPE_WINDOW, error);
    return box ? box->x : INT_MIN;
}

// The chooser's path bar as it stands: its folder buttons' names and where each sits in the bar.
struct PathBar {
    AccessibleRef bar;
    std::vector<std::string> names;
    std::vector<int> positions;
    size_t shown = 0;
};

std::optional<PathBar> pathBarOfChooser(AtspiAccessible* chooser) {
    AccessibleRef checked = findBelow(chooser, pathBarDepth, isShownFolderButton);
    auto buttons = checked ? pathBarOf(checked.get()) : std::nullopt;
    if (!buttons) return std::nullopt;
    PathBar bar{parentOf(checked.get()), {}, {}, 0};
    for (size_t i = 0; i < buttons->size(); ++i) {
        const PathButton& button = (*buttons)[i];
        if (!button.toggle) continue;
        if (button.checked) bar.shown = bar.names.size();
        bar.names.push_back(button.name);
        bar.positions.push_back(static_cast<int>(i));
    }
    if (!bar.bar) return std::nullopt;
    return bar;
}

bool clickButton(const PathBar& bar, size_t button) {
    CallError error;
    AccessibleRef child(atspi_accessible_get_child_at_index(bar.bar.get(), bar.positions[button], error.out()));
    return child && doAction(child.get(), clickAction);
}

// The row of the folder of that name in the chooser's file list. GTK's name column holds the
// icon and the name as cells of their own inside the row's first cell.
AccessibleRef rowNamed(AtspiAccessible* chooser, const std::string& name) {
    AccessibleRef list = findBelow(chooser, fileListDepth, isFileList);
    AccessibleRef table(list ? reinterpret_cast<AtspiAccessible*>(atspi_accessible_get_table_iface(list.get()))
                             : nullptr);
    if (!table) return nullptr;
    CallError error;
    const int rows = std::min(atspi_table_get_n_rows(ATSPI_TABLE(table.get()), error.out()), maxRowsRead);
    for (int row = 0; row < rows && !error; ++row) {
        CallError cellError;
        AccessibleRef cell(atspi_table_get_accessible_at(ATSPI_TABLE(table.get()), row, 0, cellError.out()));
        if (!cell) continue;
        if (nameOf(cell.get()) == name) return cell;
        CallError partError;
        for (auto& part : childrenOf(cell.get(), partError))
            if (nameOf(part.get()) == name) return std::move(part);
    }
    return nullptr;
}

std::vector<std::string> foldersOfPath(const std::filesystem::path& path) {
    std::vector<std::string> folders;
    for (const auto& part : path.relative_path()) {
        if (!part.empty() && part != ".") folders.push_back(part.string());
    }
    return folders;
}

bool isFolder(const std::vector<std::string>& folders, size_t count) {
    std::filesystem::path path("/");
    for (size_t i = 0; i < count; ++i) path /= folders[i];
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

std::optional<Panel> chooserPanel(AtspiAccessible* element) {
    if (!isChooser(element)) return std::nullopt;
    return findBelow(element, nameFieldDepth, isEditableText) ? Panel::save : Panel::open;
}

AccessibleRef embeddedChooser(AtspiAccessible* window) { return findBelow(window, embeddedChooserDepth, isChooser); }

AccessibleRef acceptButton(AtspiAccessible* dialog) {
    std::vector<AccessibleRef> buttons;
    findBelow(dialog, dialogButtonDepth, [&buttons](AtspiAccessible* element) {
        if (isRole(element, ATSPI_ROLE_PUSH_BUTTON))
            buttons.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(element)));
        return false;
    });
    if (buttons.size() < 2) return nullptr;
    // Rightmost: the order on the bus differs between an action area (Cancel, then the confirming
    // button) and a header bar (the other way round), the places on the screen do not.
    size_t rightmost = 0;
    int rightmostEdge = INT_MIN;
    for (size_t i = 0; i < buttons.size(); ++i) {
        const int edge = leftEdgeInWindow(buttons[i].get());
        if (edge <= rightmostEdge) continue;
        rightmost = i;
        rightmostEdge = edge;
    }
    return std::move(buttons[rightmost]);
}

FolderWalk::FolderWalk(AccessibleRef chooser, const std::filesystem::path& target)
    : chooser_(std::move(chooser)), target_(foldersOfPath(target)) {}

FolderWalk::Progress FolderWalk::step() {
    // The chooser's buttons and rows change under the walk: nothing read before holds.
    atspi_accessible_clear_cache(chooser_.get());
    auto bar = pathBarOfChooser(chooser_.get());
    if (!bar) return Progress::walking;
    const auto shown = foldersOfButton(bar->names, bar->shown);
    if (shown == target_) return Progress::arrived;
    if (!asked_) {
        const size_t start = walkStart(bar->names, target_);
        asked_ = foldersOfButton(bar->names, start).size();
        if (start == bar->shown || clickButton(*bar, start)) return Progress::walking;
        return Progress::lost;
    }
    const bool onTheWay = shown.size() == *asked_ && *asked_ < target_.size() &&
                          std::equal(shown.begin(), shown.end(), target_.begin());
    if (!onTheWay) return Progress::walking;
    if (!isFolder(target_, *asked_ + 1)) return Progress::lost;
    AccessibleRef row = rowNamed(chooser_.get(), target_[*asked_]);
    if (!row) return Progress::walking;  // the folder is still being listed
    if (!doAction(row.get(), activateAction)) return Progress::lost;
    ++*asked_;
    return Progress::walking;
}

std::vector<std::string> foldersOfButton(const std::vector<std::string>& names, size_t index) {
    std::vector<std::string> folders;
    if (index >= names.size()) return folders;
    for (size_t i = names.size() - 1; i-- > index;) folders.push_back(names[i]);
    return folders;
}

size_t walkStart(const std::vector<std::string>& names, const std::vector<std::string>& target) {
    if (names.empty()) return 0;
    // Deepest first: the first button whose folder holds the target is the deepest such.
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        const auto folders = foldersOfButton(names, i);
        if (folders.size() <= target.size() && std::equal(folders.begin(), folders.end(), target.begin())) return i;
    }
    return names.size() - 1;
}

}  // namespace companion::desktop::gtk3
