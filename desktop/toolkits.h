#pragma once
// Which toolkit drew a window, and the one question every toolkit answers in its own way: is this
// window a file dialog, and an Open or a Save one. Each toolkit's knowledge lives in its own file
// (gtk3, gtk4, qt); this one asks them in turn.

#include <atspi/atspi.h>

#include <optional>
#include <string>
#include <string_view>

#include "desktop/element_table.h"

namespace companion::desktop {

enum class Toolkit { gtk3, gtk4, qt, other };
// From what an application says of itself on the bus: its toolkit's name and version.
Toolkit toolkitNamed(std::string_view name, std::string_view version);
Toolkit toolkitOf(AtspiAccessible* application);
// The toolkit of the application that holds the element.
Toolkit applicationToolkit(AtspiAccessible* element);

enum class Panel { open, save };
// The identifier the interface gives the panel: "open-panel" or "save-panel".
std::string_view panelIdentifierOf(Panel panel);

struct FileDialog {
    Panel panel;
    Toolkit toolkit;
    // A chooser a program holds in a window of its own: Return there goes to the program's own
    // dialog (which may take the folder as its answer), never to the chooser.
    bool embedded = false;
    // False for a chooser in a program's own window that nothing moves: GTK 4's neither takes a
    // path nor lists its rows on the bus; GTK 3's Open one hides the path bar its walk needs once
    // its location field shows.
    bool navigable = true;
};
// What a top-level window is, when it is a file dialog or holds a file chooser of its own; none
// otherwise.
std::optional<FileDialog> fileDialogOf(AtspiAccessible* window);
std::optional<Panel> panelOf(AtspiAccessible* window);
// Whether the dialog may be GTK 4's Select Folder one, which reads as an Open one at first sight.
bool mayChooseFolders(const FileDialog& dialog);
// The top-level window that holds the element (the child of its application), if any.
AccessibleRef windowOf(AtspiAccessible* element);

}  // namespace companion::desktop
