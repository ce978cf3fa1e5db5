#include "setup/symbols.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include <cstring>

namespace companion::setup {

namespace {

struct SymbolIcon {
    const char* symbol;
    const char* iconName;
};

// The one table from the window's symbols to the freedesktop icon naming.
constexpr SymbolIcon symbolIcons[] = {
    {symbols::service, "preferences-system"},
    {symbols::accessibility, "preferences-desktop-accessibility"},
    {symbols::checkmark, "emblem-default"},
    {symbols::warning, "dialog-warning"},
};

constexpr const char* applicationIconName = "system-file-manager";
constexpr int applicationIconSize = 128;
const QColor applicationIconColour(0x2f, 0x6f, 0xeb);
constexpr int gearTeeth = 8;

void drawCheckmark(QPainter& painter, const QRectF& box, const QColor& tint) {
    painter.setBrush(tint);
    painter.drawEllipse(box);
    QPen stroke(Qt::white, box.width() * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(stroke);
    QPainterPath tick;
    tick.moveTo(box.left() + box.width() * 0.28, box.top() + box.height() * 0.52);
    tick.lineTo(box.left() + box.width() * 0.44, box.top() + box.height() * 0.68);
    tick.lineTo(box.left() + box.width() * 0.72, box.top() + box.height() * 0.36);
    painter.drawPath(tick);
}

void drawWarning(QPainter& painter, const QRectF& box, const QColor& tint) {
    QPainterPath triangle;
    triangle.moveTo(box.center().x(), box.top() + box.height() * 0.06);
    triangle.lineTo(box.right(), box.bottom() - box.height() * 0.06);
    triangle.lineTo(box.left(), box.bottom() - box.height() * 0.06);
    triangle.closeSubpath();
    painter.setBrush(tint);
    painter.drawPath(triangle);
    painter.setPen(QPen(Qt::white, box.width() * 0.11, Qt::SolidLine, Qt::RoundCap));
    double x = box.center().x();
    painter.drawLine(QPointF(x, box.top() + box.height() * 0.38), QPointF(x, box.top() + box.height() * 0.64));
    painter.drawPoint(QPointF(x, box.top() + box.height() * 0.80));
}

void drawGear(QPainter& painter, const QRectF& box, const QColor& tint) {
    painter.setBrush(tint);
    QPointF centre = box.center();
    double outer = box.width() * 0.5;
    for (int tooth = 0; tooth < gearTeeth; ++tooth) {
        painter.save();
        painter.translate(centre);
        painter.rotate(360.0 * tooth / gearTeeth);
        painter.drawRect(QRectF(-outer * 0.16, -outer, outer * 0.32, outer * 0.4));
        painter.restore();
    }
    painter.drawEllipse(centre, outer * 0.72, outer * 0.72);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, outer * 0.28, outer * 0.28);
}

void drawAccessibility(QPainter& painter, const QRectF& box, const QColor& tint) {
    painter.setBrush(tint);
    painter.drawEllipse(box);
    QPen stroke(Qt::white, box.width() * 0.09, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(stroke);
    painter.setBrush(Qt::white);
    double w = box.width(), h = box.height();
    painter.drawEllipse(QPointF(box.center().x(), box.top() + h * 0.24), w * 0.06, w * 0.06);
    painter.drawLine(QPointF(box.left() + w * 0.26, box.top() + h * 0.38), QPointF(box.right() - w * 0.26, box.top() + h * 0.38));
    painter.drawLine(QPointF(box.center().x(), box.top() + h * 0.38), QPointF(box.center().x(), box.top() + h * 0.58));
    painter.drawLine(QPointF(box.center().x(), box.top() + h * 0.58), QPointF(box.left() + w * 0.36, box.top() + h * 0.78));
    painter.drawLine(QPointF(box.center().x(), box.top() + h * 0.58), QPointF(box.right() - w * 0.36, box.top() + h * 0.78));
}

QPixmap drawnSymbol(const char* symbol, int size, const QColor& tint) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QRectF box(1, 1, size - 2, size - 2);
    if (std::strcmp(symbol, symbols::checkmark) == 0) drawCheckmark(painter, box, tint);
    else if (std::strcmp(symbol, symbols::warning) == 0) drawWarning(painter, box, tint);
    else if (std::strcmp(symbol, symbols::service) == 0) drawGear(painter, box, tint);
    else drawAccessibility(painter, box, tint);
    return pixmap;
}

QPixmap drawnApplicationIcon() {
    QPixmap pixmap(applicationIconSize, applicationIconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(applicationIconColour);
    QRectF box(4, 4, applicationIconSize - 8, applicationIconSize - 8);
    painter.drawRoundedRect(box, applicationIconSize * 0.22, applicationIconSize * 0.22);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(applicationIconSize / 2);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(box, Qt::AlignCenter, "T");
    return pixmap;
}

}  // namespace

const char* themeIconName(const char* symbol) {
    for (const auto& entry : symbolIcons)
        if (std::strcmp(entry.symbol, symbol) == 0) return entry.iconName;
    return "";
}

QPixmap symbolPixmap(const char* symbol, int size, const QColor& tint) {
    QIcon themed = QIcon::fromTheme(themeIconName(symbol));
    if (!themed.isNull()) return themed.pixmap(size, size);
    return drawnSymbol(symbol, size, tint);
}

QIcon applicationIcon() {
    QIcon themed = QIcon::fromTheme(applicationIconName);
    if (!themed.isNull()) return themed;
    return QIcon(drawnApplicationIcon());
}

}  // namespace companion::setup
