// Generated tiles on disk for the map benchmarks, read through file:// URLs.
#pragma once

#include "map/MapView.h"
#include "map/TileSource.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <algorithm>

namespace bench {

inline void writeTile(const QString &folder, mapgeometry::TileKey key)
{
    QImage image(256, 256, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((key.x * 37 + key.y * 91 + key.z * 13) % 360, 60, 235));
    QPainter painter(&image);
    painter.setPen(QColor(90, 90, 90));
    for (int i = 16; i < 256; i += 48)
        painter.drawLine(0, i, 255, (i * 7) % 256);
    painter.drawText(image.rect(), Qt::AlignCenter,
                     QStringLiteral("%1/%2/%3").arg(key.z).arg(key.x).arg(key.y));
    painter.end();
    const QString dir = QStringLiteral("%1/%2/%3").arg(folder).arg(key.z).arg(key.x);
    QDir().mkpath(dir);
    image.save(QStringLiteral("%1/%2.png").arg(dir).arg(key.y));
}

// Shows the camera and waits until every tile the view wants is in memory.
inline bool loadAll(MapView &view, const QString &folder, CLLocationCoordinate2D centre,
                    double zoom, double bearing, double pitch)
{
    view.setCamera(centre, zoom, bearing, pitch);
    const QList<mapgeometry::TileKey> wanted = view.viewport().wantedTiles(1);
    for (const mapgeometry::TileKey &key : wanted)
        writeTile(folder, key);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (std::all_of(wanted.cbegin(), wanted.cend(), [&](const mapgeometry::TileKey &key) {
                return view.tileSource()->hasTile(key);
            }))
            return true;
    }
    return false;
}

} // namespace bench
