#pragma once

#include "map/MapGeometry.h"

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <functional>

class QTcpSocket;
class QWidget;

// A generated 256-pixel tile: a flat colour of its own (never magenta, never the map's grey)
// with its z/x/y written on it, so pictures and request logs can be read.
QImage makeTestTile(mapgeometry::TileKey key);
QByteArray makeTestTilePng(mapgeometry::TileKey key);
// "/z/x/y.png" and back.
QString tilePath(mapgeometry::TileKey key);
mapgeometry::TileKey tileKeyOfPath(const QString &path);

// A drag with the left button in 8 moves 16 ms apart. The pointer rests before the release
// (no fling) unless `fling` is set.
void dragMap(QWidget *widget, QPoint from, QPoint delta, bool fling = false);
// A wheel event as a mouse wheel (angle only) or a trackpad (pixels, with a phase) sends it.
void sendWheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels = {},
               Qt::ScrollPhase phase = Qt::NoScrollPhase);
int countPixels(const QImage &image, const std::function<bool(QRgb)> &test);

// An HTTP/1.1 tile server on the loopback interface, for tests: answers GET /z/x/y.png with a
// generated PNG, logs every request with its headers, and can hold answers back or fail.
class TileServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QString path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        bool answered = false;
        bool dropped = false; // the client closed the connection before the answer
    };

    TileServer();
    ~TileServer() override;

    quint16 port() const { return server_.serverPort(); }
    QString urlTemplate() const;

    // While held, requests wait unanswered; releasing answers them all.
    void setHolding(bool holding);
    // The next `times` requests for this tile get a 503.
    void failTimes(mapgeometry::TileKey key, int times) { failures_[tilePath(key)] = times; }
    // The expiry headers of the answers.
    void setCacheControl(const QByteArray &value) { cacheControl_ = value; }

    const QList<Request> &requests() const { return requests_; }
    QStringList paths() const;
    int requestsFor(mapgeometry::TileKey key) const;
    int waiting() const;

private:
    struct Connection
    {
        QByteArray buffer;
        QList<int> pending; // indices into requests_
    };

    void accept();
    void read(QTcpSocket *socket);
    void answerWaiting();
    void answer(QTcpSocket *socket, int index);

    QTcpServer server_;
    QHash<QTcpSocket *, Connection> connections_;
    QList<Request> requests_;
    QHash<QString, int> failures_;
    QByteArray cacheControl_ = "max-age=604800";
    bool holding_ = false;
};
