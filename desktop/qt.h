#pragma once
// Qt's own (non-native) file dialog: a plain dialog holding the file view and the "File name:"
// field, which also takes a folder's path and so is the go-to-folder field once it has the focus.
// KDE's dialog (what Qt programs show under Plasma) has the same frame, its name field inside an
// editable combo box, and is driven the same way.
// The Save dialog is told apart by its confirming button, in the languages we ship; its folder
// combo box names the folder shown.

#include <atspi/atspi.h>

#include <optional>
#include <string>
#include <string_view>

#include "desktop/toolkits.h"

namespace companion::desktop::qt {

std::optional<Panel> dialogPanel(AtspiAccessible* window);
// Whether a button's text is a Save dialog's confirming button.
bool isSaveButtonName(std::string_view name);
// The field that takes a file name or a folder's path.
AccessibleRef nameField(AtspiAccessible* dialog);
// Whether the dialog's folder list names `folder` as the one shown.
bool showsFolder(AtspiAccessible* dialog, const std::string& folder);

}  // namespace companion::desktop::qt
