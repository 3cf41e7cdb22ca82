#pragma once

#include "LoopbackHttpServer.h"
#include "map/MapView.h"
#include "map/TileSource.h"

#include <QHash>
#include <QLineF>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

inline const CLLocationCoordinate2D kLiberty {40.689247, -74.044502};
inline const QByteArray kLastModified = "Mon, 01 Jan 2024 00:00:00 GMT"; // what the server sends

inline QString tilePath(mapgeometry::TileKey key)
{
    return QStringLiteral("/%1/%2/%3.png").arg(key.z).arg(key.x).arg(key.y);
}
// A drag in 8 moves 16 ms apart; the pointer rests before the release (no fling) unless `fling`.
void dragMap(QWidget *widget, QPoint from, QPoint delta, bool fling = false,
             Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = {});
void sendWheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels = {},
               Qt::ScrollPhase phase = Qt::NoScrollPhase);
void sendGesture(QWidget *widget, Qt::NativeGestureType type, QPointF at, double value = 0);
int countPixels(const QImage &image, const std::function<bool(QRgb)> &test);
inline bool isPlaceholder(QRgb pixel)
{
    const QRgb rgb = pixel & 0xFFFFFF;
    return rgb == 0xEEECE8 || rgb == 0xD9D6D0 || rgb == 0xE6E3DE;
}
inline double distance(QPointF a, QPointF b)
{
    return QLineF(a, b).length();
}
inline bool near(CLLocationCoordinate2D a, CLLocationCoordinate2D b, double degrees = 1e-9)
{
    return std::abs(a.latitude - b.latitude) < degrees
        && std::abs(a.longitude - b.longitude) < degrees;
}
// The place under a view point found by casting a ray from the camera's eye onto the ground:
// an account of the camera that does not go through its transform.
CLLocationCoordinate2D groundUnder(const mapgeometry::Viewport &view, QPointF viewPoint);
inline bool allWantedLoaded(const MapView &view)
{
    const QList<mapgeometry::TileKey> wanted = view.viewport().wantedTiles(1);
    return std::all_of(wanted.cbegin(), wanted.cend(),
                       [&](const auto &key) { return view.tileSource()->hasTile(key); });
}

// A map view with a cache folder of its own.
struct Map
{
    explicit Map(const QString &url = {}, QSize size = {600, 400}, const QString &cacheFolder = {})
        : view(url, cacheFolder.isEmpty() ? cache.path() : cacheFolder)
    {
        view.resize(size);
    }
    bool show(CLLocationCoordinate2D centre = kLiberty, double zoom = 14, double bearing = 0,
              double pitch = 0)
    {
        view.setCamera(centre, zoom, bearing, pitch);
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }

    QTemporaryDir cache;
    MapView view;
};

// A loopback tile server: answers GET /z/x/y.png with a generated PNG in a colour of its own
// (never magenta, never the map's grey), "not modified" to a copy it sent, 503 when told to fail.
class TileServer : public LoopbackHttpServer
{
public:
    explicit TileServer(quint16 port = 0);

    QString urlTemplate() const
    {
        return QStringLiteral("http://127.0.0.1:%1/{z}/{x}/{y}.png").arg(port());
    }
    // The next `times` requests for this tile get a 503.
    void failTimes(mapgeometry::TileKey key, int times) { failures_[tilePath(key)] = times; }
    void setCacheControl(const QByteArray &value) { cacheControl_ = value; }

    QStringList paths; // of the requests, in order

private:
    QHash<QString, int> failures_;
    QByteArray cacheControl_ = "max-age=604800";
};
