#pragma once
// GTK 3's file chooser: the dialog, or the chooser widget a program puts in a window of its own,
// has the file-chooser role. A Save chooser has its name field near its top; an Open chooser's
// location field, when shown, lies deeper, in the header above the file list. Control-L opens
// the location field (in a Save chooser it focuses the name field, which takes a path as well).

#include <atspi/atspi.h>

#include <optional>

#include "desktop/toolkits.h"

namespace companion::desktop::gtk3 {

// The panel of an element with the file-chooser role; none for any other element.
std::optional<Panel> chooserPanel(AtspiAccessible* element);
// A chooser inside the window, below the window itself (a program's own dialog that embeds one).
AccessibleRef embeddedChooser(AtspiAccessible* window);
// The dialog's confirming button: GTK puts it after Cancel, whatever the two are labelled.
AccessibleRef acceptButton(AtspiAccessible* dialog);

}  // namespace companion::desktop::gtk3
