#include "MapTestSupport.h"

#include <QBuffer>
#include <QNativeGestureEvent>
#include <QtMath>

using mapgeometry::TileKey;

namespace {

QByteArray testTilePng(TileKey key)
{
    QImage image(mapgeometry::kTileSize, mapgeometry::kTileSize, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(60 + static_cast<int>(qHash(key, 7) % 200), 90, 225));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

void dragMap(QWidget *widget, QPoint from, QPoint delta, bool fling, Qt::MouseButton button,
             Qt::KeyboardModifiers modifiers)
{
    constexpr int kSteps = 8;
    QTest::mousePress(widget, button, modifiers, from);
    for (int i = 1; i <= kSteps; ++i)
        QTest::mouseMove(widget, from + delta * i / kSteps, 16);
    QTest::mouseRelease(widget, button, modifiers, from + delta, fling ? 16 : 300);
}

void sendWheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels, Qt::ScrollPhase phase)
{
    QWheelEvent event(at, widget->mapToGlobal(at), pixels, angle, Qt::NoButton, Qt::NoModifier,
                      phase, false);
    QApplication::sendEvent(widget, &event);
}

void sendGesture(QWidget *widget, Qt::NativeGestureType type, QPointF at, double value)
{
    QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, at, at,
                              widget->mapToGlobal(at), value, {});
    QApplication::sendEvent(widget, &event);
}

int countPixels(const QImage &image, const std::function<bool(QRgb)> &test)
{
    int count = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            count += test(rgb.pixel(x, y)) ? 1 : 0;
    return count;
}

CLLocationCoordinate2D groundUnder(const mapgeometry::Viewport &view, QPointF viewPoint)
{
    // The eye hangs over the ground (x right, y towards the viewer) at (0, d sin p, d cos p) and
    // looks at the view centre; the ray through the point meets the ground at parameter t.
    const double pitch = qDegreesToRadians(view.pitch());
    const double bearing = qDegreesToRadians(view.bearing());
    const double d = view.cameraDistance();
    const QPointF p = viewPoint - QPointF(view.size().width(), view.size().height()) / 2.0;
    const double t = d * std::cos(pitch) / (d * std::cos(pitch) + p.y() * std::sin(pitch));
    const double x = t * p.x();
    const double y = d * std::sin(pitch) + t * (p.y() * std::cos(pitch) - d * std::sin(pitch));
    // Turned back from the view's frame to north up.
    const QPointF ground(x * std::cos(bearing) - y * std::sin(bearing),
                         x * std::sin(bearing) + y * std::cos(bearing));
    return mapgeometry::fromUnit(view.centerUnit() + ground / mapgeometry::worldSize(view.zoom()));
}

TileServer::TileServer(quint16 port)
    : LoopbackHttpServer(nullptr, port)
{
    connect(this, &LoopbackHttpServer::requestReceived, this,
            [this](const QByteArray &path) { paths.append(QString::fromLatin1(path)); });
    setHandler([this](const Request &request) -> Response {
        const QString path = QString::fromLatin1(request.path);
        int &failures = failures_[path];
        const QStringList parts = path.split(u'/');
        if (failures > 0 || parts.size() != 4) {
            failures = std::max(failures - 1, 0);
            return {503, {}};
        }
        if (request.headers.value("if-modified-since") == kLastModified)
            return {304, {}, 0, "image/png", "Cache-Control: " + cacheControl_ + "\r\n"};
        const QByteArray body =
            testTilePng({parts[1].toInt(), parts[2].toInt(), parts[3].section(u'.', 0, 0).toInt()});
        return {200, body, 0, "image/png",
                "Cache-Control: " + cacheControl_ + "\r\nLast-Modified: " + kLastModified + "\r\n"};
    });
}
