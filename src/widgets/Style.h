#pragma once

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>

class QWidget;

// The named text styles, colours and pictures of the screen, mapped onto Qt.
namespace style {

// Largest to smallest; each is larger than the next.
enum class TextStyle { Title2, Headline, Subheadline, Callout, Caption, Caption2 };

QFont font(TextStyle textStyle, const QFont &base = QFont());

inline const QColor kYellow {0xff, 0xcc, 0x00};
inline const QColor kBlue {0x00, 0x7a, 0xff};
inline const QColor kRed {0xff, 0x3b, 0x30};

// The colour of the `index`th phone plugged in, in the list of phones and on the map: distinct
// from each other, from the pin's blue and red, and readable on the map's light tiles.
QColor phoneColour(int index);

// Dimmed text on the given widget's background.
QColor secondaryText(const QWidget *widget);

// The sidebar's surface, a shade off the window's in a light palette and in a dark one, and
// the line between it and the map.
QColor sidebarSurface(const QPalette &palette);
QColor dividerLine(const QPalette &palette);

// An SVG picture of the resources (":/images/<name>.svg") rendered at `size` logical pixels
// for the widget's screen; colours in `recolour` ("#rrggbb" → colour) are replaced first.
QPixmap picture(const QString &name, QSize size, qreal devicePixelRatio,
                const QList<std::pair<QString, QColor>> &recolour = {});

} // namespace style
