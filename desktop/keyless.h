#pragma once
// Driving a file dialog through the accessibility bus alone, where no synthetic key can reach it
// (a Wayland session): each toolkit's own accessible actions stand for the assistant's keys.
//
// | Dialog      | Go-to-folder field                                 | Confirming                       |
// |-------------|----------------------------------------------------|----------------------------------|
// | GTK 3 Open  | location field, shown by the chooser's show_location | the field's activate action    |
// | GTK 3 Save  | the name field                                     | the field's activate action      |
// | portal      | as GTK 3                                           | the accept button's click action |
// | GTK 4 Save  | the name field                                     | the dialog's default.activate    |
// | GTK 3 Save chooser in a program's window | the name field        | none: walked (gtk3::FolderWalk)  |
// | GTK 4 Open  | none: only Control-L shows its location field      |                                  |
// | Qt, KDE     | the name field                                     | the accept button's Press action |

#include <atspi/atspi.h>

#include "desktop/element_table.h"
#include "desktop/toolkits.h"

namespace companion::desktop::keyless {

// The field that takes a folder's path in the file dialog (`kind` is what the window is), shown
// first where the toolkit hides it; none where only a key shows it.
AccessibleRef revealPathField(AtspiAccessible* dialog, const FileDialog& kind);
// Confirms the path the field holds through the dialog's own actions; false when none would.
bool confirmPath(AtspiAccessible* dialog, const FileDialog& kind, AtspiAccessible* field);
// The desktop portal's dialog, confirmed through its accept button (it has no default response,
// so the field's own confirming goes nowhere); false for any other dialog.
bool confirmPortalDialog(AtspiAccessible* dialog);

}  // namespace companion::desktop::keyless
