#include "widgets/Style.h"

#include <QFile>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>
#include <QWidget>

namespace style {

QFont font(TextStyle textStyle, const QFont &base)
{
    QFont f = base;
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    switch (textStyle) {
    case TextStyle::Title2:
        f.setPointSizeF(size + 6);
        break;
    case TextStyle::Headline:
        f.setPointSizeF(size + 2);
        f.setBold(true);
        break;
    case TextStyle::Subheadline:
        f.setPointSizeF(size + 1);
        break;
    case TextStyle::Callout:
        f.setPointSizeF(size + 1);
        break;
    case TextStyle::Caption:
        f.setPointSizeF(size);
        break;
    case TextStyle::Caption2:
        f.setPointSizeF(size - 1);
        break;
    }
    return f;
}

QColor secondaryText(const QWidget *widget)
{
    QColor color = widget->palette().color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

QColor sidebarSurface(const QPalette &palette)
{
    const QColor window = palette.color(QPalette::Window);
    return window.lightness() < 128 ? window.lighter(112) : window.darker(104);
}

QColor dividerLine(const QPalette &palette)
{
    QColor line = palette.color(QPalette::WindowText);
    line.setAlphaF(0.2f);
    return line;
}

QPixmap picture(const QString &name, QSize size, qreal devicePixelRatio,
                const QList<std::pair<QString, QColor>> &recolour)
{
    QFile file(QStringLiteral(":/images/") + name + QStringLiteral(".svg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray svg = file.readAll();
    for (const auto &[from, to] : recolour)
        svg.replace(from.toLatin1(), to.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace style

QColor style::phoneColour(int index)
{
    static const QColor colours[] = {
        {0x34, 0xa8, 0x53}, // green
        {0xaf, 0x52, 0xde}, // purple
        {0xff, 0x95, 0x00}, // orange
        {0x00, 0xa0, 0xb8}, // teal
        {0xff, 0x2d, 0x92}, // pink
        {0x8e, 0x6e, 0x3c}, // brown
        {0x5e, 0x5c, 0xe6}, // indigo
        {0x6d, 0x7b, 0x00}, // olive
    };
    constexpr int count = int(sizeof colours / sizeof colours[0]);
    return colours[((index % count) + count) % count];
}
