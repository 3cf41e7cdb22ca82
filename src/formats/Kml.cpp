#include "formats/Kml.h"

#include "formats/XmlFeed.h"

#include <cmath>

namespace kml {

using formats::Part;
using formats::XmlFeed;

namespace {

// What the text of the open element is read for.
enum class Text { None, Name, Coordinates, When, Coord };

class Reader
{
public:
    Reader(XmlFeed &feed, QString fileName)
        : feed_(feed)
        , xml_(feed.xml())
        , fileName_(std::move(fileName))
    {
    }

    formats::ReadResult run()
    {
        names_.append(QStringLiteral("kml"));
        while (!names_.isEmpty()) {
            switch (feed_.next()) {
            case QXmlStreamReader::StartElement:
                start();
                break;
            case QXmlStreamReader::EndElement:
                end();
                break;
            case QXmlStreamReader::Characters:
                if (text_ != Text::None) {
                    buffer_ += xml_.text();
                    if (text_ == Text::Coordinates)
                        takeTuples(false);
                }
                break;
            case QXmlStreamReader::Invalid:
                return {std::nullopt,
                        fileName_ + QStringLiteral(", ") + feed_.line() + QStringLiteral(": ")
                            + feed_.error(),
                        feed_.cancelled()};
            default:
                break;
            }
        }
        return {std::move(document_), QString(), false};
    }

private:
    QStringView parent() const
    {
        return names_.size() >= 2 ? QStringView(names_[names_.size() - 2]) : QStringView();
    }

    void start()
    {
        // KML 2.0 to 2.2 and Google's gx: extensions, told apart by their local names alone.
        const QString name = xml_.name().toString();
        names_.append(name);
        text_ = Text::None;
        if (name == u"Placemark") {
            placemarkName_.clear();
            placemarkPoints_ = 0;
            placemarkLine_ = false;
        } else if (name == u"Track") {
            whens_.clear();
            coords_.clear();
        } else if (name == u"name" && parent() == u"Placemark") {
            text_ = Text::Name;
        } else if (name == u"coordinates" && (parent() == u"Point" || parent() == u"LineString")) {
            text_ = Text::Coordinates;
            part_ = parent() == u"Point" ? Part::Waypoints : Part::Track;
            tuples_.clear();
        } else if (name == u"when" && parent() == u"Track") {
            text_ = Text::When;
        } else if (name == u"coord" && parent() == u"Track") {
            text_ = Text::Coord;
        }
        buffer_.clear();
        textLine_ = feed_.line();
    }

    void end()
    {
        const QString name = names_.takeLast();
        const Text text = std::exchange(text_, Text::None);
        switch (text) {
        case Text::Name:
            placemarkName_ = buffer_;
            break;
        case Text::Coordinates:
            takeTuples(true);
            if (part_ == Part::Waypoints && !tuples_.isEmpty()) {
                document_.waypoints.append({QString(), tuples_.first()});
                ++placemarkPoints_;
            } else if (part_ == Part::Track) {
                for (const CLLocationCoordinate2D &at : std::as_const(tuples_))
                    document_.track.append({at, std::nullopt});
                placemarkLine_ = true;
            }
            tuples_.clear();
            break;
        case Text::When: {
            std::optional<QDateTime> time = formats::readTime(buffer_);
            if (!time)
                badWhens_.append({whens_.size(),
                                  message(textLine_,
                                          QStringLiteral("time \"%1\" is not a date "
                                                         "and time")
                                              .arg(buffer_.trimmed()))});
            whens_.append(time);
            break;
        }
        case Text::Coord:
            coords_.append(
                tuple(QString(buffer_).replace(u' ', u',').replace(u'\t', u','), Part::Track));
            break;
        case Text::None:
            if (name == u"Placemark")
                endPlacemark();
            else if (name == u"Track")
                endTrack();
            break;
        }
        buffer_.clear();
    }

    QString message(const QString &line, const QString &what) const
    {
        return fileName_ + QStringLiteral(", ") + line + QStringLiteral(": ") + what;
    }

    // "lon,lat[,alt]"
    std::optional<CLLocationCoordinate2D> tuple(const QString &text, Part part)
    {
        const QList<QStringView> parts = QStringView(text).split(u',', Qt::SkipEmptyParts);
        std::optional<double> longitude, latitude;
        if (parts.size() == 2 || parts.size() == 3) {
            longitude = coordinates::parseDegrees(parts[0].trimmed().toString());
            latitude = coordinates::parseDegrees(parts[1].trimmed().toString());
        }
        if (!longitude || !latitude || !std::isfinite(*longitude) || !std::isfinite(*latitude)) {
            document_.addBadPoint(
                part,
                message(
                    textLine_,
                    QStringLiteral("\"%1\" is not a longitude and latitude").arg(text.left(80))));
            return std::nullopt;
        }
        if (std::fabs(*latitude) > 90.0 || std::fabs(*longitude) > 180.0) {
            document_.addBadPoint(
                part, message(textLine_, QStringLiteral("\"%1\" is out of range").arg(text)));
            return std::nullopt;
        }
        return CLLocationCoordinate2D {*latitude, *longitude};
    }

    // The whole tuples in the buffer (all of them at the end), as they come: a line of a
    // million points is never held as text.
    void takeTuples(bool final)
    {
        qsizetype from = 0;
        for (qsizetype i = 0; i <= buffer_.size(); ++i) {
            const bool blank = i == buffer_.size() ? final : buffer_[i].isSpace();
            if (!blank)
                continue;
            if (i > from)
                if (const auto at = tuple(buffer_.sliced(from, i - from), part_))
                    tuples_.append(*at);
            from = i + 1;
        }
        buffer_.remove(0, std::min(from, buffer_.size()));
    }

    void endTrack()
    {
        // The times only when there is one for every point.
        const bool timed = whens_.size() == coords_.size();
        qsizetype badWhen = 0;
        for (qsizetype i = 0; i < coords_.size(); ++i) {
            const bool timeBad =
                timed && badWhen < badWhens_.size() && badWhens_[badWhen].first == i;
            if (timeBad)
                ++badWhen;
            if (!coords_[i])
                continue;
            if (timeBad) {
                document_.addBadPoint(Part::Track, badWhens_[badWhen - 1].second);
                continue;
            }
            document_.track.append({*coords_[i], timed ? whens_[i] : std::nullopt});
        }
        whens_.clear();
        coords_.clear();
        badWhens_.clear();
        placemarkLine_ = true;
    }

    void endPlacemark()
    {
        // Its name, whether it came before its geometry or after it.
        for (qsizetype i = document_.waypoints.size() - placemarkPoints_;
             i < document_.waypoints.size(); ++i)
            document_.waypoints[i].name = placemarkName_;
        if (placemarkLine_ && document_.trackName.isEmpty())
            document_.trackName = placemarkName_;
        placemarkPoints_ = 0;
        placemarkLine_ = false;
    }

    XmlFeed &feed_;
    QXmlStreamReader &xml_;
    const QString fileName_;
    QStringList names_; // the local names of the open elements
    formats::Document document_;
    Text text_ = Text::None;
    QString buffer_;
    QString textLine_;
    Part part_ = Part::Track;
    QList<CLLocationCoordinate2D> tuples_;
    QString placemarkName_;
    qsizetype placemarkPoints_ = 0;
    bool placemarkLine_ = false;
    QList<std::optional<QDateTime>> whens_;
    QList<std::pair<qsizetype, QString>> badWhens_; // which, and why
    QList<std::optional<CLLocationCoordinate2D>> coords_;
};

} // namespace

formats::ReadResult readAfterRoot(XmlFeed &feed, const QString &fileName)
{
    return Reader(feed, fileName).run();
}

} // namespace kml
