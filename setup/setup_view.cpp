#include "setup/setup_view.h"

#include <QtGui/QKeySequence>
#include <QtGui/QPainter>
#include <QtGui/QShortcut>
#include <QtWidgets/QApplication>
#include <QtWidgets/QBoxLayout>
#include <QtWidgets/QFrame>

#include "setup/symbols.h"
#include "setup/texts.h"

namespace companion::setup {

namespace {

// The layout, in points.
constexpr int stackSpacing = 18;
constexpr int stackPadding = 24;
constexpr int viewWidth = 540;
constexpr int iconSize = 56;
constexpr int panelRadius = 14;
constexpr double panelOpacity = 0.05;
constexpr int rowPadding = 14;
constexpr int symbolColumn = 28;
constexpr int symbolSize = 18;
constexpr int stateIconSize = 14;
constexpr int rowSpacing = 4;
constexpr int headerSpacing = 12;
constexpr double titleScale = 1.6;
constexpr double captionScale = 0.85;
constexpr double secondaryOpacity = 0.6;
constexpr double dividerOpacity = 0.12;

// A rounded panel filled with the text colour, faintly.
class RoundedPanel final : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(panelOpacity);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(rect(), panelRadius, panelRadius);
    }
};

QLabel* label(const QString& text, QWidget* parent) {
    auto* result = new QLabel(text, parent);
    result->setTextFormat(Qt::PlainText);
    return result;
}

QLabel* wrappingLabel(const QString& text, QWidget* parent) {
    auto* result = label(text, parent);
    result->setWordWrap(true);
    return result;
}

void setTextColour(QWidget* widget, QColor colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

void makeSecondary(QWidget* widget) {
    QColor colour = widget->palette().color(QPalette::WindowText);
    colour.setAlphaF(secondaryOpacity);
    setTextColour(widget, colour);
}

void scaleFont(QWidget* widget, double scale, QFont::Weight weight) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    widget->setFont(font);
}

QPushButton* button(const char* text, const char* name, QWidget* parent) {
    auto* result = new QPushButton(localized(text), parent);
    result->setObjectName(name);
    result->setAutoDefault(false);
    return result;
}

}  // namespace

SetupState readSetupState(SetupSystem& system) {
    SetupState state;
    state.status = system.agentService().status();
    state.trusted = system.isProcessTrusted();
    state.tavroInstalled = system.hostApplicationLocation().has_value();
    return state;
}

SetupView::SetupView(SetupSystem& system, SetupState initial, QWidget* parent)
    : QWidget(parent), system_(system), state_(initial) {
    setFixedWidth(viewWidth);
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(stackSpacing);
    stack->setContentsMargins(stackPadding, stackPadding, stackPadding, stackPadding);
    stack->addWidget(makeHeader());
    stack->addWidget(wrappingLabel(localized(texts::description), this));
    stack->addWidget(makePanel());
    stack->addWidget(makeFooter());

    // Return opens the host application, as the default button of the window.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        QObject::connect(shortcut, &QShortcut::activated, this, [this] {
            if (hostButton_->isVisible()) hostButton_->click();
        });
    }
    timer_.setInterval(refreshInterval);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
    apply();
}

QWidget* SetupView::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(headerSpacing);
    auto* icon = new QLabel(header);
    icon->setPixmap(QApplication::windowIcon().pixmap(iconSize, iconSize));
    icon->setFixedSize(iconSize, iconSize);
    row->addWidget(icon);
    auto* titles = new QVBoxLayout;
    auto* title = label(localized(texts::title), header);
    scaleFont(title, titleScale, QFont::Bold);
    auto* subtitle = label(localized(texts::subtitle), header);
    makeSecondary(subtitle);
    titles->addWidget(title);
    titles->addWidget(subtitle);
    row->addLayout(titles, 1);
    return header;
}

QWidget* SetupView::makePanel() {
    auto* panel = new RoundedPanel(this);
    panel->setObjectName(parts::panel);
    auto* rows = new QVBoxLayout(panel);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    rows->addWidget(makeRow(symbols::service, texts::serviceTitle, texts::serviceExplanation, service_,
                            parts::serviceState, parts::serviceStateIcon, parts::serviceButton));
    auto* divider = new QWidget(panel);
    divider->setFixedHeight(1);
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(dividerOpacity);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, line);
    divider->setPalette(dividerPalette);
    divider->setAutoFillBackground(true);
    rows->addWidget(divider);
    rows->addWidget(makeRow(symbols::accessibility, texts::accessibilityTitle, texts::accessibilityExplanation,
                            accessibility_, parts::accessibilityState, parts::accessibilityStateIcon,
                            parts::accessibilityButton));
    QObject::connect(service_.button, &QPushButton::clicked, this, [this] { serviceButtonPressed(); });
    QObject::connect(accessibility_.button, &QPushButton::clicked, this, [this] { askForAccessibility(); });
    return panel;
}

QWidget* SetupView::makeRow(const char* symbol, const char* title, const char* explanation, Row& row,
                            const char* stateName, const char* iconName, const char* buttonName) {
    auto* widget = new QWidget(this);
    auto* columns = new QHBoxLayout(widget);
    columns->setContentsMargins(rowPadding, rowPadding, rowPadding, rowPadding);
    auto* symbolLabel = new QLabel(widget);
    symbolLabel->setPixmap(symbolPixmap(symbol, symbolSize, palette().color(QPalette::Highlight)));
    symbolLabel->setFixedWidth(symbolColumn);
    symbolLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    columns->addWidget(symbolLabel, 0, Qt::AlignTop);

    auto* body = new QVBoxLayout;
    body->setSpacing(rowSpacing);
    auto* heading = new QHBoxLayout;
    auto* titleLabel = label(localized(title), widget);
    scaleFont(titleLabel, 1.0, QFont::Bold);
    heading->addWidget(titleLabel);
    row.stateIcon = new QLabel(widget);
    row.stateIcon->setObjectName(iconName);
    row.stateText = label({}, widget);
    row.stateText->setObjectName(stateName);
    scaleFont(row.stateText, captionScale, QFont::Medium);
    heading->addWidget(row.stateIcon);
    heading->addWidget(row.stateText);
    heading->addStretch(1);
    body->addLayout(heading);
    auto* explanationLabel = wrappingLabel(localized(explanation), widget);
    scaleFont(explanationLabel, captionScale, QFont::Normal);
    makeSecondary(explanationLabel);
    body->addWidget(explanationLabel);
    row.button = button("", buttonName, widget);
    body->addWidget(row.button, 0, Qt::AlignLeft);
    columns->addLayout(body, 1);
    return widget;
}

QWidget* SetupView::makeFooter() {
    auto* footer = new QWidget(this);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    hostText_ = label(localized(texts::hostMissing), footer);
    hostText_->setObjectName(parts::hostText);
    makeSecondary(hostText_);
    hostButton_ = button(texts::openHost, parts::hostButton, footer);
    hostButton_->setDefault(true);
    deactivateButton_ = button(texts::deactivate, parts::deactivateButton, footer);
    deactivateButton_->setToolTip(localized(texts::deactivateHelp));
    row->addWidget(hostText_);
    row->addWidget(hostButton_);
    row->addStretch(1);
    row->addWidget(deactivateButton_);
    QObject::connect(hostButton_, &QPushButton::clicked, this, [this] { openHostApplication(); });
    QObject::connect(deactivateButton_, &QPushButton::clicked, this, [this] { unregisterAgent(); });
    return footer;
}

void SetupView::showState(Row& row, const char* text, bool good) {
    QColor colour = good ? stateGreen : stateOrange;
    row.stateText->setText(localized(text));
    setTextColour(row.stateText, colour);
    row.stateIcon->setPixmap(symbolPixmap(good ? symbols::checkmark : symbols::warning, stateIconSize, colour));
}

// Shows the three values; every text and button follows from them alone.
void SetupView::apply() {
    bool enabled = state_.status == ServiceStatus::enabled;
    bool needsApproval = state_.status == ServiceStatus::requiresApproval;
    if (enabled) showState(service_, texts::serviceEnabled, true);
    else if (needsApproval) showState(service_, texts::serviceRequiresApproval, false);
    else showState(service_, texts::serviceInactive, false);
    service_.button->setText(localized(needsApproval ? texts::openSystemSettings : texts::activate));
    service_.button->setVisible(!enabled);

    showState(accessibility_, state_.trusted ? texts::accessibilityGranted : texts::accessibilityMissing,
              state_.trusted);
    accessibility_.button->setText(localized(texts::allow));
    accessibility_.button->setToolTip(localized(texts::allowHelp));
    accessibility_.button->setVisible(!state_.trusted);

    hostText_->setVisible(!state_.tavroInstalled);
    hostButton_->setVisible(state_.tavroInstalled);
    deactivateButton_->setVisible(enabled);
    updateGeometry();
}

QSize SetupView::sizeHint() const {
    // The width is fixed; the height is what the wrapped texts need at that width.
    return {viewWidth, layout()->totalHeightForWidth(viewWidth)};
}

void SetupView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!timer_.isActive()) timer_.start();
}

void SetupView::refresh() {
    state_ = readSetupState(system_);
    apply();
}

void SetupView::serviceButtonPressed() {
    if (state_.status == ServiceStatus::requiresApproval) openLoginItemsSettings();
    else registerAgent();
}

void SetupView::registerAgent() {
    system_.agentService().registerService();
    state_.status = system_.agentService().status();
    apply();
}

void SetupView::unregisterAgent() {
    system_.agentService().unregisterService();
    state_.status = system_.agentService().status();
    apply();
}

void SetupView::openLoginItemsSettings() { system_.agentService().openSystemSettingsLoginItems(); }

void SetupView::askForAccessibility() {
    system_.promptForTrust();
    system_.openAddress(accessibilitySettingsAddress);
}

void SetupView::openHostApplication() {
    if (auto location = system_.hostApplicationLocation()) system_.openApplication(*location);
}

}  // namespace companion::setup
