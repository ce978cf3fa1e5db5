#pragma once
// GTK 4's file chooser (4.8): a plain dialog, or a program's own window, holding a filler named
// "GtkFileChooserWidget" over generic panels and a tree view. A Save chooser has its "Name:" field
// a few levels below that filler; an Open chooser's search and location fields lie deeper, in the
// header above the file list. Control-L opens the location field, as in GTK 3. GTK 4.8 offers no
// text interface on its fields: what they hold cannot be read, only written.

#include <atspi/atspi.h>

#include <optional>

#include "desktop/toolkits.h"

namespace companion::desktop::gtk4 {

// The panel of a window that holds GTK 4's chooser widget; none otherwise.
std::optional<Panel> chooserPanel(AtspiAccessible* window);
// Of a window holding an Open or Select Folder chooser, whether it is a Select Folder one: the
// new-folder menu beside the path bar, which an Open chooser lacks (so one whose program forbade
// new folders reads as an Open chooser).
bool choosesFolders(AtspiAccessible* window);

}  // namespace companion::desktop::gtk4
