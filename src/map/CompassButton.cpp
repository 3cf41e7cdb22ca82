#include "map/CompassButton.h"

#include <QPainter>
#include <QPainterPath>

CompassButton::CompassButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("compassButton"));
    setAccessibleName(tr("Compass: north up and flat"));
    setToolTip(tr("North up and flat"));
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus); // the map keeps the keyboard
    resize(sizeHint());
}

void CompassButton::setNorth(double degrees)
{
    if (degrees == north_)
        return;
    north_ = degrees;
    update();
}

void CompassButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    painter.setPen(QPen(QColor(0, 0, 0, 60), 1.0));
    painter.setBrush(isDown() ? QColor(0xE5, 0xE5, 0xEA) : QColor(255, 255, 255, 235));
    painter.drawEllipse(disc);

    painter.translate(disc.center());
    painter.rotate(north_);
    const double length = disc.height() * 0.36;
    const double half = disc.width() * 0.11;
    QPainterPath toNorth;
    toNorth.moveTo(0, -length);
    toNorth.lineTo(half, 0);
    toNorth.lineTo(-half, 0);
    toNorth.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xFF, 0x3B, 0x30));
    painter.drawPath(toNorth);
    painter.setBrush(QColor(0x8E, 0x8E, 0x93));
    painter.drawPath(QTransform().rotate(180).map(toNorth));
}
