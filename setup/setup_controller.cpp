#include "setup/setup_controller.h"

#include <QtGui/QAction>
#include <QtGui/QKeySequence>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLayout>
#include <QtWidgets/QMenuBar>

#include "setup/texts.h"

namespace companion::setup {

namespace {

// Titled, closable and minimisable; never resized or maximised.
constexpr Qt::WindowFlags windowFlags = Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                        Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint;

// The platform's quit keys; where the platform names none, the key equivalent "q" with Control.
QKeySequence quitShortcut() {
    QKeySequence platform(QKeySequence::Quit);
    return platform.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : platform;
}

void centre(QWidget& window) {
    QScreen* screen = window.screen();
    if (!screen) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

}  // namespace

void SetupController::applicationDidFinishLaunching() {
    registerAgentIfNeeded();

    window_ = std::make_unique<QMainWindow>(nullptr, windowFlags);
    auto* menu = window_->menuBar()->addMenu(texts::menuTitle);
    auto* quit = menu->addAction(localized(texts::quit));
    quit->setShortcut(quitShortcut());
    quit->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);

    view_ = new SetupView(system_, readSetupState(system_));
    window_->setCentralWidget(view_);
    window_->setWindowTitle(texts::windowTitle);
    // The window takes the view's size and follows it; the user cannot change it.
    window_->layout()->setSizeConstraint(QLayout::SetFixedSize);
    window_->adjustSize();
    centre(*window_);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

// A registration that fails is not reported here: the window shows the state that follows.
void SetupController::registerAgentIfNeeded() {
    if (system_.agentService().status() == ServiceStatus::enabled) return;
    system_.agentService().registerService();
}

}  // namespace companion::setup
