// The setup library's one exported entry: the setup application from start to quit.

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include "setup/setup_controller.h"
#include "setup/setup_entry.h"
#include "setup/symbols.h"
#include "setup/texts.h"
#include "setup/translations.h"

namespace companion::setup {

namespace {

// Tells the hooks once, after the window's first paint has been done.
class FirstPaintWatcher final : public QObject {
public:
    explicit FirstPaintWatcher(const EntryHooks& hooks) : hooks_(hooks) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !told_) {
            told_ = true;
            QTimer::singleShot(0, this, [this] { hooks_.firstPainted(hooks_.context); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    EntryHooks hooks_;
    bool told_ = false;
};

}  // namespace

}  // namespace companion::setup

extern "C" __attribute__((visibility("default"))) int tavroCompanionSetupMain(
    int argc, char** argv, const companion::setup::EntryHooks* hooks) {
    using namespace companion::setup;
    QApplication application(argc, argv);
    QApplication::setApplicationName(texts::windowTitle);
    QApplication::setWindowIcon(applicationIcon());
    QTranslator translator;
    installTranslation(translator, QLocale(), defaultTranslationFolder());

    auto system = linuxSetupSystem();
    SetupController controller(*system);
    FirstPaintWatcher watcher(hooks ? *hooks : EntryHooks{});
    if (hooks && hooks->firstPainted) application.installEventFilter(&watcher);
    controller.applicationDidFinishLaunching();
    return application.exec();
}
