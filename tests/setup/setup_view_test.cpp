// The setup window, headless: every state combination's texts, colours and buttons, the
// actions and their status re-reads, the refresh tick, the window itself and how it quits.

#include <QtCore/QTimer>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "setup/setup_controller.h"
#include "setup/texts.h"
#include "support/setup_system_double.h"

namespace companion::testing {
namespace {

using namespace setup;
using ::testing::ElementsAre;

constexpr const char* hostEntry = "/usr/share/applications/es.vextralune.tavro.desktop";

// One application object for the whole executable, on the offscreen platform.
class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "setup_tests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { application_.reset(); }

private:
    std::unique_ptr<QApplication> application_;
};
const auto* qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

template <typename Widget>
Widget* part(QWidget& root, const char* name) {
    auto* found = root.findChild<Widget*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QString text(QWidget& root, const char* name) { return part<QLabel>(root, name)->text(); }
QColor colour(QWidget& root, const char* name) {
    return part<QLabel>(root, name)->palette().color(QPalette::WindowText);
}
// Visible as the window would show it (the view itself need not be on screen).
bool shown(QWidget& root, const char* name) { return !part<QWidget>(root, name)->isHidden(); }

// Every status with every accessibility and host state.
TEST(ViewStates, ShowTheTextsColoursAndButtonsOfTheirState) {
    for (auto status : {ServiceStatus::notRegistered, ServiceStatus::enabled, ServiceStatus::requiresApproval,
                        ServiceStatus::notFound})
        for (bool trusted : {false, true})
            for (bool installed : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << "status " << static_cast<int>(status)
                                                  << " trusted " << trusted << " installed " << installed);
                SetupSystemDouble system;
                SetupView view(system, {status, trusted, installed});

                bool enabled = status == ServiceStatus::enabled;
                bool approval = status == ServiceStatus::requiresApproval;
                EXPECT_EQ(text(view, parts::serviceState),
                          enabled    ? "Actif"
                          : approval ? "À autoriser dans Réglages Système › Ouverture"
                                     : "Inactif");
                EXPECT_EQ(colour(view, parts::serviceState), enabled ? stateGreen : stateOrange);
                EXPECT_EQ(shown(view, parts::serviceButton), !enabled);
                if (!enabled) {
                    EXPECT_EQ(part<QPushButton>(view, parts::serviceButton)->text(),
                              approval ? "Ouvrir Réglages Système" : "Activer");
                }
                EXPECT_EQ(shown(view, parts::deactivateButton), enabled);
                EXPECT_EQ(part<QPushButton>(view, parts::deactivateButton)->toolTip(),
                          "Arrête le service ; les fonctions qu'il permet disparaissent de Tavro Files.");

                EXPECT_EQ(text(view, parts::accessibilityState), trusted ? "Accordée" : "Manquante");
                EXPECT_EQ(colour(view, parts::accessibilityState), trusted ? stateGreen : stateOrange);
                EXPECT_EQ(shown(view, parts::accessibilityButton), !trusted);
                EXPECT_EQ(part<QPushButton>(view, parts::accessibilityButton)->text(),
                          QString::fromUtf8("Autoriser\u2026"));

                EXPECT_EQ(shown(view, parts::hostText), !installed);
                EXPECT_EQ(text(view, parts::hostText), "Tavro Files n'est pas installé sur ce Mac.");
                EXPECT_EQ(shown(view, parts::hostButton), installed);
                EXPECT_TRUE(part<QPushButton>(view, parts::hostButton)->isDefault());
            }
}

TEST(ViewTexts, AreExactlyTheWrittenOnes) {
    SetupSystemDouble system;
    SetupView view(system, {});
    QStringList labels;
    for (auto* label : view.findChildren<QLabel*>()) labels << label->text();
    for (const char* expected :
         {"Tavro Files Companion", "Pour Tavro Files, version App Store", "Service en arrière-plan",
          "Tavro Files l'appelle quand il en a besoin ; il s'arrête tout seul ensuite.", "Accessibilité",
          "Pour l'assistant des boîtes Ouvrir / Enregistrer. Si Tavro Files Companion est déjà coché sans effet, "
          "retirez-le avec « \u2212 » puis autorisez-le à nouveau."})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(expected))) << expected;
}

class ViewActions : public ::testing::Test {
protected:
    void click(const char* name) { QTest::mouseClick(part<QPushButton>(*view, name), Qt::LeftButton); }

    SetupSystemDouble system;
    std::unique_ptr<SetupView> view;
};

TEST_F(ViewActions, ActivateAndDeactivateReadTheStatusAtOnce) {
    view = std::make_unique<SetupView>(system, SetupState{ServiceStatus::notFound, false, false});
    click(parts::serviceButton);
    EXPECT_EQ(text(*view, parts::serviceState), "Actif");
    click(parts::deactivateButton);
    EXPECT_THAT(system.agent.calls, ElementsAre("register", "status", "unregister", "status"));
    EXPECT_EQ(text(*view, parts::serviceState), "Inactif");
    EXPECT_FALSE(shown(*view, parts::deactivateButton));
}

// Approval opens the settings and registers nothing; "Allow" prompts, then opens its settings.
TEST_F(ViewActions, ApprovalAndAllowOpenTheirSettings) {
    view = std::make_unique<SetupView>(system, SetupState{ServiceStatus::requiresApproval, false, false});
    click(parts::serviceButton);
    EXPECT_THAT(system.agent.calls, ElementsAre("openSystemSettingsLoginItems"));
    click(parts::accessibilityButton);
    EXPECT_THAT(system.calls,
                ElementsAre("promptForTrust",
                            "openAddress x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
}

TEST_F(ViewActions, TheHostButtonAndReturnOpenTheHostThroughItsEntry) {
    system.hostLocation = hostEntry;
    view = std::make_unique<SetupView>(system, SetupState{ServiceStatus::enabled, true, true});
    view->show();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    click(parts::hostButton);
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_THAT(system.calls, ElementsAre("hostApplicationLocation", std::string("openApplication ") + hostEntry,
                                          "hostApplicationLocation", std::string("openApplication ") + hostEntry));
}

TEST_F(ViewActions, ATimerTickFollowsTheSystemWithoutAClick) {
    view = std::make_unique<SetupView>(system, SetupState{});
    view->show();
    EXPECT_EQ(view->timer().interval(), 1500);
    system.trusted = true;
    system.agent.currentStatus = ServiceStatus::enabled;
    system.hostLocation = hostEntry;
    // One tick is 1.5 s; the bound only keeps a broken timer from hanging the run.
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->state() == SetupState{ServiceStatus::enabled, true, true}; }, 10000));
    EXPECT_EQ(text(*view, parts::accessibilityState), "Accordée");
    EXPECT_EQ(text(*view, parts::serviceState), "Actif");
    EXPECT_TRUE(shown(*view, parts::hostButton));
}

class Window : public ::testing::Test {
protected:
    void launch(ServiceStatus status) {
        system.agent.currentStatus = status;
        controller = std::make_unique<SetupController>(system);
        controller->applicationDidFinishLaunching();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller->window()));
    }
    // Runs the application until something quits it; false when nothing did.
    bool quitsAfter(std::function<void()> action) {
        bool quit = false;
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
        QTimer::singleShot(0, action);
        QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
        QApplication::exec();
        return quit;
    }

    SetupSystemDouble system;
    std::unique_ptr<SetupController> controller;
};

TEST_F(Window, LaunchRegistersAnAgentThatIsNotEnabled) {
    launch(ServiceStatus::notRegistered);
    EXPECT_EQ(system.agent.calls.at(0), "status");
    EXPECT_EQ(system.agent.calls.at(1), "register");
    EXPECT_EQ(text(*controller->view(), parts::serviceState), "Actif");
}

// An enabled agent is left alone; the window and its one menu.
TEST_F(Window, IsTitledFixedInSizeWithOneMenuAndLeavesAnEnabledAgentAlone) {
    launch(ServiceStatus::enabled);
    EXPECT_EQ(std::count(system.agent.calls.begin(), system.agent.calls.end(), "register"), 0);
    auto* window = controller->window();
    EXPECT_EQ(window->windowTitle(), "Tavro Files Companion");
    EXPECT_EQ(controller->view()->width(), 540);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    auto flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->isActiveWindow());
    auto actions = window->menuBar()->actions();
    ASSERT_EQ(actions.size(), 1);
    auto items = actions.at(0)->menu()->actions();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items.at(0)->text(), "Quitter Tavro Files Companion");
    QKeySequence platformQuit(QKeySequence::Quit);
    EXPECT_EQ(items.at(0)->shortcut(), platformQuit.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : platformQuit);
}

TEST_F(Window, ClosingItQuits) {
    launch(ServiceStatus::enabled);
    EXPECT_TRUE(quitsAfter([this] { controller->window()->close(); }));
}

TEST_F(Window, TheQuitShortcutQuits) {
    launch(ServiceStatus::enabled);
    auto* quit = controller->window()->menuBar()->actions().at(0)->menu()->actions().at(0);
    auto keys = quit->shortcut()[0];
    EXPECT_TRUE(quitsAfter([&] { QTest::keyClick(controller->window(), keys.key(), keys.keyboardModifiers()); }));
}

}  // namespace
}  // namespace companion::testing
