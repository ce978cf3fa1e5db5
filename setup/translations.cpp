#include "setup/translations.h"

#include <QtCore/QCoreApplication>

namespace companion::setup {

bool installTranslation(QTranslator& translator, const QLocale& locale, const QString& folder) {
    if (!translator.load(locale, translationPrefix, "_", folder)) return false;
    return QCoreApplication::installTranslator(&translator);
}

QString defaultTranslationFolder() { return QCoreApplication::applicationDirPath() + "/" + translationFolder; }

}  // namespace companion::setup
