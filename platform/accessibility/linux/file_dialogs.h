#pragma once
// How each toolkit's file dialog shows on the accessibility bus, and the names the assistant
// knows them by: the panel identifiers of Open and Save dialogs and the go-to-folder field.
//
// GTK 3 shows its dialog with the file-chooser role; a Save dialog has its name field near the top.
// Qt 6 shows a plain dialog holding the file view and the "File name:" field, which also takes
// a folder's path; the Save dialog is told apart by its confirming button.

#include <atspi/atspi.h>

#include <optional>
#include <string>

#include "platform/accessibility/accessibility.h"
#include "platform/accessibility/linux/element_table.h"

namespace companion::accessibility::linux_desktop {


enum class Toolkit { gtk, qt, other };
Toolkit toolkitOf(AtspiAccessible* application);

// "open-panel" or "save-panel" for a top-level window that is a file dialog; none otherwise.
std::optional<std::string> panelIdentifier(AtspiAccessible* window);
// The top-level window that holds the element (the child of its application), if any.
AccessibleRef windowOf(AtspiAccessible* element);
// The field of a Qt file dialog that takes a file name or a folder's path.
AccessibleRef qtNameField(AtspiAccessible* dialog);
// Whether a Qt file dialog's folder list names `folder` as the one shown.
bool showsFolder(AtspiAccessible* dialog, const std::string& folder);
// The folder a file manager's window shows, as a "file" URL: the absolute path in its location
// bar. None when the window has none.
std::optional<std::string> shownFolderUrl(AtspiAccessible* window);

}  // namespace companion::accessibility::linux_desktop
