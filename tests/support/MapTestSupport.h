#pragma once

#include "map/MapView.h"

#include <QHash>
#include <QTcpServer>
#include <QTemporaryDir>
#include <functional>

class QTcpSocket;

inline const CLLocationCoordinate2D kLiberty {40.689247, -74.044502};

QString tilePath(mapgeometry::TileKey key); // "/z/x/y.png"
// A drag in 8 moves 16 ms apart; the pointer rests before the release (no fling) unless `fling`.
void dragMap(QWidget *widget, QPoint from, QPoint delta, bool fling = false,
             Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = {});
void sendWheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels = {},
               Qt::ScrollPhase phase = Qt::NoScrollPhase);
void sendGesture(QWidget *widget, Qt::NativeGestureType type, QPointF at, double value = 0);
int countPixels(const QImage &image, const std::function<bool(QRgb)> &test);
bool isPlaceholder(QRgb pixel);
double distance(QPointF a, QPointF b);
bool near(CLLocationCoordinate2D a, CLLocationCoordinate2D b, double degrees = 1e-9);
// The place under a view point found by casting a ray from the camera's eye onto the ground:
// an account of the camera that does not go through its transform.
CLLocationCoordinate2D groundUnder(const mapgeometry::Viewport &view, QPointF viewPoint);
bool allWantedLoaded(const MapView &view);

// A map view with a cache folder of its own.
struct Map
{
    explicit Map(const QString &url = {}, QSize size = {600, 400}, const QString &cacheFolder = {})
        : view(url, cacheFolder.isEmpty() ? cache.path() : cacheFolder)
    {
        view.resize(size);
    }
    bool show(CLLocationCoordinate2D centre = kLiberty, double zoom = 14, double bearing = 0,
              double pitch = 0);

    QTemporaryDir cache;
    MapView view;
};

// A loopback tile server: answers GET /z/x/y.png with a generated PNG in a colour of its own
// (never magenta, never the map's grey), logs every request, can hold answers back or fail.
class TileServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QString path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        bool dropped = false; // the client closed the connection before the answer
    };

    TileServer();
    ~TileServer() override;

    QString urlTemplate() const;
    void setHolding(bool holding); // while held, requests wait unanswered
    // The next `times` requests for this tile get a 503.
    void failTimes(mapgeometry::TileKey key, int times) { failures_[tilePath(key)] = times; }
    void setCacheControl(const QByteArray &value) { cacheControl_ = value; }

    QList<Request> requests;
    QStringList paths() const;
    int waiting() const;

private:
    struct Connection
    {
        QByteArray buffer;
        QList<int> pending; // indices into requests
    };
    void read(QTcpSocket *socket);
    void answerWaiting();

    QTcpServer server_;
    QHash<QTcpSocket *, Connection> connections_;
    QHash<QString, int> failures_;
    QByteArray cacheControl_ = "max-age=604800";
    bool holding_ = false;
};
