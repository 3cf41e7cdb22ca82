#include "MapTestSupport.h"

#include <QBuffer>
#include <QNativeGestureEvent>
#include <QTcpSocket>
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

TileServer::TileServer()
{
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            connections_.insert(socket, {});
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                for (int index : connections_.take(socket).pending)
                    requests[index].dropped = true;
                socket->deleteLater();
            });
        }
    });
    server_.listen(QHostAddress::LocalHost, 0);
}

TileServer::~TileServer()
{
    server_.close();
    for (QTcpSocket *socket : connections_.keys()) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void TileServer::setHolding(bool holding)
{
    holding_ = holding;
    if (!holding)
        answerWaiting();
}

int TileServer::waiting() const
{
    int count = 0;
    for (const Connection &connection : connections_)
        count += static_cast<int>(connection.pending.size());
    return count;
}

void TileServer::read(QTcpSocket *socket)
{
    Connection &connection = connections_[socket];
    connection.buffer += socket->readAll();
    for (qsizetype end; (end = connection.buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = connection.buffer.left(end).split('\n');
        connection.buffer.remove(0, end + 4);
        Request request {QString::fromLatin1(lines.value(0).split(' ').value(1)), {}};
        for (const QByteArray &line : lines.mid(1))
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(),
                                       line.mid(colon + 1).trimmed());
        requests.append(request);
        paths.append(request.path);
        connection.pending.append(static_cast<int>(requests.size() - 1));
    }
    if (!holding_)
        answerWaiting();
}

void TileServer::answerWaiting()
{
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        for (int index : std::exchange(it->pending, {})) {
            const Request &request = requests[index];
            int &failures = failures_[request.path];
            const QStringList parts = request.path.split(u'/');
            QByteArray response;
            if (failures > 0 || parts.size() != 4) {
                failures = std::max(failures - 1, 0);
                response = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
            } else if (request.headers.value("if-modified-since") == kLastModified) {
                response =
                    "HTTP/1.1 304 Not Modified\r\nCache-Control: " + cacheControl_ + "\r\n\r\n";
            } else {
                const QByteArray body = testTilePng(
                    {parts[1].toInt(), parts[2].toInt(), parts[3].section(u'.', 0, 0).toInt()});
                response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\nCache-Control: " + cacheControl_
                    + "\r\nLast-Modified: " + kLastModified + "\r\n\r\n" + body;
            }
            it.key()->write(response);
        }
    }
}
