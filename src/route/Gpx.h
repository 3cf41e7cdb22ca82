#pragma once

#include "route/RoutePath.h"

#include <QIODevice>
#include <QString>
#include <optional>

namespace gpx {

// What a GPX file holds for us: its track points, else its route points, else its waypoints.
struct Document
{
    enum class Kind { Track, Route, Waypoints };
    Kind kind = Kind::Track;
    QString name;
    QList<RoutePoint> points;
};

// Either a document or a message that names the file and the line, as in
// "walk.gpx, line 12: latitude 123.4 is out of range".
struct ReadResult
{
    std::optional<Document> document;
    QString error;
};

ReadResult read(QIODevice &device, const QString &fileName);
// A time in the form recorders write, read without the general parser; nothing otherwise.
std::optional<QDateTime> plainUtcTime(QStringView text);
ReadResult readFile(const QString &path);

// GPX 1.1, one track of one segment, written atomically: the old file stays whole until the
// new one is complete. Answers the error when it fails.
std::optional<QString> writeFile(const QString &path, const QString &name,
                                 const QList<RoutePoint> &points);

} // namespace gpx
