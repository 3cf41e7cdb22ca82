// The phones' own marks on the map, when more than one phone is plugged in.
#include "map/MapView.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

void MapView::setPhoneMarks(const QList<PhoneMark> &marks)
{
    const auto same = [](const PhoneMark &a, const PhoneMark &b) {
        return a.at == b.at && a.name == b.name && a.colour == b.colour && a.selected == b.selected;
    };
    if (marks.size() == phoneMarks_.size()
        && std::equal(marks.begin(), marks.end(), phoneMarks_.begin(), same))
        return;
    phoneMarks_ = marks;
    update();
}

void MapView::paintPhoneMarks(QPainter &painter)
{
    if (phoneMarks_.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = this->font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    const double labelHeight = metrics.height() + 4.0;
    // Phones at the same spot (those moved together) share one dot and stack their names.
    QList<QPointF> spots;
    QList<int> stacked;
    for (const PhoneMark &mark : phoneMarks_) {
        const std::optional<QPointF> at = pointFor(mark.at);
        if (!at || !QRectF(rect()).adjusted(-200, -50, 50, 50).contains(*at))
            continue;
        int level = 0;
        for (qsizetype i = 0; i < spots.size(); ++i) {
            if (std::hypot(spots[i].x() - at->x(), spots[i].y() - at->y()) < 2.0)
                level = ++stacked[i];
        }
        if (level == 0) {
            spots.append(*at);
            stacked.append(0);
        }
        // The dot: white-ringed, larger for a selected phone.
        const double radius = mark.selected ? 7.0 : 5.0;
        painter.setPen(
            QPen(mark.selected ? Qt::white : mark.colour.darker(150), mark.selected ? 2.5 : 1.5));
        painter.setBrush(mark.colour);
        painter.drawEllipse(*at, radius, radius);
        // The name, right of the dot (and right of the pin, which may stand on it), in a pill of
        // the phone's colour; an unselected phone's paler.
        const double width = metrics.horizontalAdvance(mark.name) + 10.0;
        // Stacked upwards: below the pin is its title.
        const QRectF box(at->x() + 16.0, at->y() - labelHeight / 2.0 - level * (labelHeight + 2.0),
                         width, labelHeight);
        QColor fill = mark.colour;
        fill.setAlphaF(mark.selected ? 0.95 : 0.75);
        QPainterPath pill;
        pill.addRoundedRect(box, labelHeight / 2.0, labelHeight / 2.0);
        painter.setPen(mark.selected ? QPen(Qt::white, 1.5) : Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPath(pill);
        painter.setPen(Qt::white);
        painter.drawText(box, Qt::AlignCenter, mark.name);
    }
    painter.restore();
}
