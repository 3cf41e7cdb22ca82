#pragma once

#include "coordinates/Coordinates.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <functional>
#include <optional>

// What GPX, KML and GeoJSON files hold for us, read by one model: a track (points with their
// times), a route and named waypoints.
namespace formats {

struct TrackPoint
{
    CLLocationCoordinate2D coordinate;
    std::optional<QDateTime> time; // in UTC

    friend bool operator==(const TrackPoint &, const TrackPoint &) = default;
};

struct Waypoint
{
    QString name; // as the file has it, blanks included
    CLLocationCoordinate2D coordinate;

    friend bool operator==(const Waypoint &, const Waypoint &) = default;
};

enum class Part { Track, Route, Waypoints };

struct Document
{
    QString trackName; // of the first track (or line) that has one
    QString routeName;
    QList<TrackPoint> track; // every track's segments, one after the other
    QList<TrackPoint> route;
    QList<Waypoint> waypoints;

    // Points that could not be read were left out; each part counts its own and names its
    // first, as in "walk.gpx, line 12: latitude 123.4 is out of range".
    std::array<qsizetype, 3> badPoints {};
    std::array<QString, 3> firstBadPoint;
    QStringList problems; // each left-out point, in file order, up to kMaxProblems
    static constexpr qsizetype kMaxProblems = 100;

    qsizetype badPointsIn(Part part) const { return badPoints[static_cast<size_t>(part)]; }
    qsizetype badPointCount() const { return badPoints[0] + badPoints[1] + badPoints[2]; }
    void addBadPoint(Part part, const QString &message);
    bool isEmpty() const { return track.isEmpty() && route.isEmpty() && waypoints.isEmpty(); }

    friend bool operator==(const Document &, const Document &) = default;
};

// How a long read reports and stops; both are used from the reading thread.
struct ReadControl
{
    const std::atomic<bool> *cancel = nullptr;
    std::function<void(double fraction)> progress; // for files of kProgressFrom bytes and more
    static constexpr qint64 kProgressFrom = 4 * 1000 * 1000;

    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
};

// Either a document or why there is none: "walk.gpx, line 3: Premature end of document.".
struct ReadResult
{
    std::optional<Document> document;
    QString error;
    bool cancelled = false;

    static ReadResult failure(QString error) { return {std::nullopt, std::move(error), false}; }
};

// xsd:dateTime as files write it: "2026-05-01T10:00:00Z", with a fraction of a second, with an
// offset ("+02:00") or with none (read as UTC). A blank may stand for the "T". Anything that is
// not a real date and time gives nothing.
std::optional<QDateTime> readTime(QStringView text);
// "2026-05-01T10:00:00Z", or with ".123" when there are milliseconds; nothing for a year
// outside 1 to 9999, which xsd:dateTime cannot write with four digits.
std::optional<QString> writeTime(const QDateTime &time);

// A plain decimal with at most 9 digits after the point, never an exponent: "48.856614",
// "0.00001", "-3". xsd:decimal, as GPX and KML want their degrees.
QString plainDecimal(double value);
// A longitude for writing: rounded as plainDecimal rounds it, within [-180, 180).
QString plainLongitude(double longitude);

} // namespace formats

// Moved in memory as bytes when a list grows: a long track is read without copying each point.
Q_DECLARE_TYPEINFO(formats::TrackPoint, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(formats::Waypoint, Q_RELOCATABLE_TYPE);
