#include "formats/GeoJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace geojson {

using formats::Part;

namespace {

// Geometry collections inside collections go no deeper than this.
constexpr int kMaxDepth = 32;

class Reader
{
public:
    explicit Reader(QString fileName)
        : fileName_(std::move(fileName))
    {
    }

    formats::ReadResult run(const QJsonObject &root)
    {
        const QString type = root.value(u"type").toString();
        if (type == u"FeatureCollection") {
            const QJsonArray features = root.value(u"features").toArray();
            for (qsizetype i = 0; i < features.size(); ++i) {
                where_ = QStringLiteral("feature %1").arg(i + 1);
                feature(features[i].toObject());
            }
        } else if (type == u"Feature") {
            where_ = QStringLiteral("the feature");
            feature(root);
        } else if (!type.isEmpty()) {
            where_ = QStringLiteral("the geometry");
            geometry(root, {}, QJsonValue());
        } else {
            return formats::ReadResult::failure(fileName_ + QStringLiteral(": not a GeoJSON file"));
        }
        return {std::move(document_), QString(), false};
    }

private:
    void feature(const QJsonObject &feature)
    {
        const QJsonObject properties = feature.value(u"properties").toObject();
        QString name = properties.value(u"name").toString();
        if (name.isEmpty())
            name = properties.value(u"title").toString();
        geometry(feature.value(u"geometry").toObject(), name, properties.value(u"coordTimes"));
    }

    void bad(Part part, const QString &what)
    {
        document_.addBadPoint(
            part, fileName_ + QStringLiteral(", ") + where_ + QStringLiteral(": ") + what);
    }

    // [longitude, latitude(, altitude)]
    std::optional<CLLocationCoordinate2D> position(const QJsonValue &value, Part part)
    {
        const QJsonArray pair = value.toArray();
        const QJsonValue longitude = pair.at(0), latitude = pair.at(1);
        if (pair.size() < 2 || !longitude.isDouble() || !latitude.isDouble()) {
            bad(part, QStringLiteral("a position is not a longitude and latitude"));
            return std::nullopt;
        }
        const CLLocationCoordinate2D at {latitude.toDouble(), longitude.toDouble()};
        if (!(std::fabs(at.latitude) <= 90.0) || !(std::fabs(at.longitude) <= 180.0)) {
            bad(part,
                QStringLiteral("the position %1, %2 is out of range")
                    .arg(coordinates::formatDegrees(at.longitude),
                         coordinates::formatDegrees(at.latitude)));
            return std::nullopt;
        }
        return at;
    }

    void line(const QJsonArray &positions, const QJsonValue &times, const QString &name)
    {
        const QJsonArray timeList = times.toArray();
        const bool timed = timeList.size() == positions.size() && !positions.isEmpty();
        for (qsizetype i = 0; i < positions.size(); ++i) {
            const std::optional<CLLocationCoordinate2D> at = position(positions[i], Part::Track);
            if (!at)
                continue;
            std::optional<QDateTime> time;
            if (timed) {
                time = formats::readTime(timeList[i].toString());
                if (!time) {
                    bad(Part::Track,
                        QStringLiteral("time \"%1\" is not a date and time")
                            .arg(timeList[i].toString()));
                    continue;
                }
            }
            document_.track.append({*at, time});
        }
        if (document_.trackName.isEmpty())
            document_.trackName = name;
    }

    void geometry(const QJsonObject &root, const QString &name, const QJsonValue &times)
    {
        // Collections inside collections, walked without recursion.
        QList<std::pair<QJsonObject, int>> pending {{root, 0}};
        while (!pending.isEmpty()) {
            const auto [object, depth] = pending.takeLast();
            const QString type = object.value(u"type").toString();
            const QJsonArray coordinates = object.value(u"coordinates").toArray();
            if (type == u"Point") {
                if (const auto at = position(coordinates, Part::Waypoints))
                    document_.waypoints.append({name, *at});
            } else if (type == u"MultiPoint") {
                for (const QJsonValue &value : coordinates)
                    if (const auto at = position(value, Part::Waypoints))
                        document_.waypoints.append({name, *at});
            } else if (type == u"LineString") {
                line(coordinates, times, name);
            } else if (type == u"MultiLineString") {
                const QJsonArray timeLines = times.toArray();
                for (qsizetype i = 0; i < coordinates.size(); ++i)
                    line(coordinates[i].toArray(), timeLines.at(i), name);
            } else if (type == u"GeometryCollection" && depth < kMaxDepth) {
                const QJsonArray geometries = object.value(u"geometries").toArray();
                for (qsizetype i = geometries.size(); i-- > 0;) // the first on top
                    pending.append({geometries[i].toObject(), depth + 1});
            }
        }
    }

    const QString fileName_;
    QString where_;
    formats::Document document_;
};

} // namespace

formats::ReadResult read(const QByteArray &bytes, const QString &fileName)
{
    QJsonParseError error {};
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return formats::ReadResult::failure(QStringLiteral("%1, at byte %2: %3")
                                                .arg(fileName)
                                                .arg(error.offset)
                                                .arg(error.errorString()));
    if (!json.isObject())
        return formats::ReadResult::failure(fileName + QStringLiteral(": not a GeoJSON file"));
    return Reader(fileName).run(json.object());
}

} // namespace geojson
