#pragma once
// The content of the setup window: what the companion is for, whether its agent is registered,
// whether it holds the Accessibility permission, and the buttons that change these.

#include <QtCore/QTimer>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QWidget>

#include <chrono>

#include "setup/setup_system.h"

namespace companion::setup {

using service_management::ServiceStatus;

// How often the view asks the system again, so that it follows changes made elsewhere.
inline constexpr std::chrono::milliseconds refreshInterval{1500};
// The state colours: the platform's green and orange.
inline const QColor stateGreen{0x34, 0xc7, 0x59};
inline const QColor stateOrange{0xff, 0x95, 0x00};

// Widget names, by which the window's parts are found.
namespace parts {
inline constexpr const char* serviceState = "serviceState";
inline constexpr const char* serviceStateIcon = "serviceStateIcon";
inline constexpr const char* serviceButton = "serviceButton";
inline constexpr const char* accessibilityState = "accessibilityState";
inline constexpr const char* accessibilityStateIcon = "accessibilityStateIcon";
inline constexpr const char* accessibilityButton = "accessibilityButton";
inline constexpr const char* hostText = "hostText";
inline constexpr const char* hostButton = "hostButton";
inline constexpr const char* deactivateButton = "deactivateButton";
inline constexpr const char* panel = "panel";
}  // namespace parts

struct SetupState {
    ServiceStatus status = ServiceStatus::notRegistered;
    bool trusted = false;
    bool tavroInstalled = false;
    bool operator==(const SetupState&) const = default;
};

// The three values as the system reports them now, in this order.
SetupState readSetupState(SetupSystem& system);

class SetupView final : public QWidget {
public:
    SetupView(SetupSystem& system, SetupState initial, QWidget* parent = nullptr);

    const SetupState& state() const { return state_; }
    const QTimer& timer() const { return timer_; }

    // Timer tick: every value afresh.
    void refresh();
    // The buttons' actions; the service actions read the status again at once.
    void registerAgent();
    void unregisterAgent();
    void openLoginItemsSettings();
    void askForAccessibility();
    void openHostApplication();

    QSize sizeHint() const override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Row {
        QLabel* stateIcon = nullptr;
        QLabel* stateText = nullptr;
        QPushButton* button = nullptr;
    };

    QWidget* makeHeader();
    QWidget* makePanel();
    QWidget* makeRow(const char* symbol, const char* title, const char* explanation, Row& row,
                     const char* stateName, const char* iconName, const char* buttonName);
    QWidget* makeFooter();
    void serviceButtonPressed();
    void showState(Row& row, const char* text, bool good);
    void apply();

    SetupSystem& system_;
    SetupState state_;
    QTimer timer_;
    Row service_;
    Row accessibility_;
    QLabel* hostText_ = nullptr;
    QPushButton* hostButton_ = nullptr;
    QPushButton* deactivateButton_ = nullptr;
};

}  // namespace companion::setup
