// A translation file dropped beside the executable changes the window's texts without code.

#include <QtCore/QCoreApplication>
#include <QtCore/QTranslator>
#include <QtWidgets/QLabel>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/command_runner.h"
#include "setup/setup_view.h"
#include "setup/translations.h"
#include "support/files.h"
#include "support/session_fixture.h"
#include "support/setup_system_double.h"

namespace companion::testing {
namespace {

constexpr const char* lrelease = "/usr/lib/qt6/bin/lrelease";

// A "%" in a translation is shown as it is: no text is ever formatted.
constexpr const char* englishSource = R"(<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>SetupView</name>
    <message><source>Actif</source><translation>100% active</translation></message>
    <message><source>Service en arrière-plan</source><translation>Background service</translation></message>
</context>
</TS>
)";

TEST(Translation, AFileForTheUsersLanguageReplacesTheFrenchTexts) {
    if (!std::filesystem::exists(lrelease)) GTEST_SKIP() << "needs " << lrelease;
    TempDir folder;
    writeFile(folder.path() / "en.ts", englishSource);
    auto built = runCommand(lrelease, {(folder.path() / "en.ts").string(), "-qm",
                                       (folder.path() / "tavro-companion_en.qm").string()});
    ASSERT_EQ(built.status, 0) << built.output << built.errorOutput;

    QTranslator translator;
    ASSERT_TRUE(setup::installTranslation(translator, QLocale(QLocale::English), QString::fromStdString(folder.str())));
    SetupSystemDouble system;
    setup::SetupView view(system, {ServiceStatus::enabled, false, false});
    QCoreApplication::removeTranslator(&translator);

    EXPECT_EQ(view.findChild<QLabel*>(setup::parts::serviceState)->text(), "100% active");
    QStringList labels;
    for (auto* label : view.findChildren<QLabel*>()) labels << label->text();
    EXPECT_TRUE(labels.contains("Background service"));
    EXPECT_TRUE(labels.contains("Accessibilité")) << "untranslated texts stay French";
}

}  // namespace
}  // namespace companion::testing
