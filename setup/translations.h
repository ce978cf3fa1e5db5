#pragma once
// Translations of the window's French texts, from files beside the executable.

#include <QtCore/QLocale>
#include <QtCore/QString>
#include <QtCore/QTranslator>

namespace companion::setup {

// "tavro-companion_<language>.qm" in the "translations" folder beside the executable.
inline constexpr const char* translationPrefix = "tavro-companion";
inline constexpr const char* translationFolder = "translations";

// Installs the translation for `locale` found in `folder`, if there is one; false when none is.
bool installTranslation(QTranslator& translator, const QLocale& locale, const QString& folder);

// The folder beside the running executable.
QString defaultTranslationFolder();

}  // namespace companion::setup
