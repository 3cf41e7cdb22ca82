#include "MapTestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QPainter>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QWheelEvent>

using mapgeometry::TileKey;

namespace {
const QByteArray kLastModified = "Mon, 01 Jan 2024 00:00:00 GMT";
}

QImage makeTestTile(TileKey key)
{
    QImage image(mapgeometry::kTileSize, mapgeometry::kTileSize, QImage::Format_RGB32);
    // A hue per tile, pale enough for the text and far from magenta (hues 60..260 only).
    const int hue = 60 + static_cast<int>(qHash(key, 7) % 200);
    image.fill(QColor::fromHsv(hue, 90, 225));
    QPainter painter(&image);
    painter.setPen(QColor(60, 60, 60));
    painter.drawLine(0, 128, 255, 128);
    painter.drawLine(128, 0, 128, 255);
    QFont font;
    font.setPixelSize(22);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 256, 120), Qt::AlignCenter,
                     QStringLiteral("%1/%2/%3").arg(key.z).arg(key.x).arg(key.y));
    return image;
}

QByteArray makeTestTilePng(TileKey key)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    makeTestTile(key).save(&buffer, "PNG");
    return bytes;
}

void dragMap(QWidget *widget, QPoint from, QPoint delta, bool fling)
{
    constexpr int kSteps = 8;
    QTest::mousePress(widget, Qt::LeftButton, {}, from);
    for (int i = 1; i <= kSteps; ++i)
        QTest::mouseMove(widget, from + delta * i / kSteps, 16);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, from + delta, fling ? 16 : 300);
}

void sendWheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels, Qt::ScrollPhase phase)
{
    QWheelEvent event(at, widget->mapToGlobal(at), pixels, angle, Qt::NoButton, Qt::NoModifier,
                      phase, false);
    QApplication::sendEvent(widget, &event);
}

int countPixels(const QImage &image, const std::function<bool(QRgb)> &test)
{
    int count = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            count += test(line[x]) ? 1 : 0;
    }
    return count;
}

QString tilePath(TileKey key)
{
    return QStringLiteral("/%1/%2/%3.png").arg(key.z).arg(key.x).arg(key.y);
}

TileKey tileKeyOfPath(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral("^/(\\d+)/(\\d+)/(\\d+)\\.png$"));
    const QRegularExpressionMatch match = pattern.match(path);
    if (!match.hasMatch())
        return {-1, -1, -1};
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt()};
}

TileServer::TileServer()
{
    connect(&server_, &QTcpServer::newConnection, this, &TileServer::accept);
    server_.listen(QHostAddress::LocalHost, 0);
}

TileServer::~TileServer()
{
    server_.close();
    const auto sockets = connections_.keys();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

QString TileServer::urlTemplate() const
{
    return QStringLiteral("http://127.0.0.1:%1/{z}/{x}/{y}.png").arg(port());
}

void TileServer::setHolding(bool holding)
{
    holding_ = holding;
    if (!holding)
        answerWaiting();
}

QStringList TileServer::paths() const
{
    QStringList paths;
    for (const Request &request : requests_)
        paths.append(request.path);
    return paths;
}

int TileServer::requestsFor(TileKey key) const
{
    return static_cast<int>(paths().count(tilePath(key)));
}

int TileServer::waiting() const
{
    int count = 0;
    for (const Connection &connection : connections_)
        count += static_cast<int>(connection.pending.size());
    return count;
}

void TileServer::accept()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        connections_.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            for (int index : std::as_const(connections_[socket].pending))
                requests_[index].dropped = true;
            connections_.remove(socket);
            socket->deleteLater();
        });
    }
}

void TileServer::read(QTcpSocket *socket)
{
    Connection &connection = connections_[socket];
    connection.buffer += socket->readAll();
    for (qsizetype end; (end = connection.buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = connection.buffer.left(end).split('\n');
        connection.buffer.remove(0, end + 4);
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.path = QString::fromLatin1(first.value(1));
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        requests_.append(request);
        connection.pending.append(static_cast<int>(requests_.size() - 1));
    }
    if (!holding_)
        answerWaiting();
}

void TileServer::answerWaiting()
{
    const auto sockets = connections_.keys();
    for (QTcpSocket *socket : sockets) {
        const QList<int> pending = std::exchange(connections_[socket].pending, {});
        for (int index : pending)
            answer(socket, index);
    }
}

void TileServer::answer(QTcpSocket *socket, int index)
{
    Request &request = requests_[index];
    request.answered = true;
    int &failures = failures_[request.path];
    const TileKey key = tileKeyOfPath(request.path);
    QByteArray response;
    if (failures > 0 || key.z < 0) {
        failures = std::max(failures - 1, 0);
        response = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
    } else if (request.headers.value("if-modified-since") == kLastModified) {
        response = "HTTP/1.1 304 Not Modified\r\nCache-Control: " + cacheControl_ + "\r\n\r\n";
    } else {
        const QByteArray body = makeTestTilePng(key);
        response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nCache-Control: " + cacheControl_
            + "\r\nLast-Modified: " + kLastModified + "\r\n\r\n" + body;
    }
    socket->write(response);
}
