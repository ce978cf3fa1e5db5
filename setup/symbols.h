#pragma once
// The named symbols the setup window shows, as icons of the desktop's icon theme, drawn by hand
// where the theme has none.

#include <QtGui/QColor>
#include <QtGui/QIcon>
#include <QtGui/QPixmap>

namespace companion::setup {

namespace symbols {
inline constexpr const char* service = "gearshape.2.fill";
inline constexpr const char* accessibility = "accessibility";
inline constexpr const char* checkmark = "checkmark.circle.fill";
inline constexpr const char* warning = "exclamationmark.triangle.fill";
}  // namespace symbols

// The freedesktop icon name for a symbol; empty for a symbol the table does not know.
const char* themeIconName(const char* symbol);

// The symbol at `size` pixels: the theme's icon when it has one, else drawn in `tint`.
QPixmap symbolPixmap(const char* symbol, int size, const QColor& tint);

// The program's own icon (the theme's file-manager icon, else drawn).
QIcon applicationIcon();

}  // namespace companion::setup
