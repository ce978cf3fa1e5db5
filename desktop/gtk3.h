#pragma once
// GTK 3's file chooser: the dialog, or the chooser widget a program puts in a window of its own,
// has the file-chooser role. A Save chooser has its name field near its top; an Open chooser's
// location field, when shown, lies deeper, in the header above the file list. Control-L opens
// the location field (in a Save chooser it focuses the name field, which takes a path as well).

#include <atspi/atspi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "desktop/toolkits.h"

namespace companion::desktop::gtk3 {

// The panel of an element with the file-chooser role; none for any other element.
std::optional<Panel> chooserPanel(AtspiAccessible* element);
// A chooser inside the window, below the window itself (a program's own dialog that embeds one).
AccessibleRef embeddedChooser(AtspiAccessible* window);
// The dialog's confirming button: GTK puts it right of Cancel, whatever the two are labelled.
AccessibleRef acceptButton(AtspiAccessible* dialog);

// Moves a chooser that a program holds in a window of its own to a folder. Its location field
// takes no path (only GTK's own dialog turns one into a change of folder, and Return there would
// answer the program's dialog), so the walk goes the way a user clicks: up the chooser's path bar
// to the deepest folder on the way, then down its file list one folder a step, each step once the
// chooser shows the folder the last one opened. Only folders are ever opened: a file's row would
// be the program's answer.
class FolderWalk {
public:
    FolderWalk(AccessibleRef chooser, const std::filesystem::path& target);
    enum class Progress { walking, arrived, lost };
    // One look at the chooser and, when it shows where the last step went, the next step. Never
    // waits: the chooser loads a folder in its own time.
    Progress step();

private:
    AccessibleRef chooser_;
    std::vector<std::string> target_;  // the folders below the root, in order
    std::optional<size_t> asked_;      // how many of them the last step asked the chooser to show
};

// A path bar's folder names as the chooser lists them: deepest first, the file system's root
// last (its name is only a label). The folders below the root that button `index` opens.
std::vector<std::string> foldersOfButton(const std::vector<std::string>& names, size_t index);
// The button a walk to `target` starts from: the deepest whose folder holds it, the root at worst.
size_t walkStart(const std::vector<std::string>& names, const std::vector<std::string>& target);

}  // namespace companion::desktop::gtk3
