#include "formats/GeoData.h"

#include <QTimeZone>
#include <charconv>
#include <cmath>

namespace formats {

void Document::addBadPoint(Part part, const QString &message)
{
    const auto index = static_cast<size_t>(part);
    if (badPoints[index]++ == 0)
        firstBadPoint[index] = message;
    if (problems.size() < kMaxProblems)
        problems.append(message);
}

namespace {

// `count` digits at `from`, or -1.
int digits(QStringView text, qsizetype from, qsizetype count)
{
    if (from + count > text.size())
        return -1;
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

} // namespace

std::optional<QDateTime> readTime(QStringView text)
{
    text = text.trimmed();
    // YYYY-MM-DDThh:mm:ss
    if (text.size() < 19 || text[4] != u'-' || text[7] != u'-'
        || (text[10] != u'T' && text[10] != u' ') || text[13] != u':' || text[16] != u':')
        return std::nullopt;
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2), minute = digits(text, 14, 2),
              second = digits(text, 17, 2);
    if (year < 1 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59
        || second < 0 || second > 59)
        return std::nullopt;
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    qsizetype at = 19;
    int ms = 0;
    if (at < text.size() && text[at] == u'.') {
        const qsizetype first = ++at;
        while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
            if (at - first < 3)
                ms = ms * 10 + (text[at].unicode() - u'0');
            ++at;
        }
        if (at == first)
            return std::nullopt;
        for (qsizetype shown = at - first; shown < 3; ++shown)
            ms *= 10;
    }
    int offsetMinutes = 0;
    if (at < text.size()) {
        if (text[at] == u'Z' && at + 1 == text.size()) {
            ++at;
        } else if ((text[at] == u'+' || text[at] == u'-') && text.size() == at + 6
                   && text[at + 3] == u':') {
            const int hours = digits(text, at + 1, 2), minutes = digits(text, at + 4, 2);
            if (hours < 0 || hours > 14 || minutes < 0 || minutes > 59
                || (hours == 14 && minutes > 0))
                return std::nullopt;
            offsetMinutes = (hours * 60 + minutes) * (text[at] == u'-' ? -1 : 1);
            at += 6;
        } else {
            return std::nullopt;
        }
    }
    // Counted by hand, and Qt::UTC rather than a QTimeZone: no allocation per point.
    const qint64 msecs = (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000LL
        + ((hour * 60LL + minute - offsetMinutes) * 60 + second) * 1000 + ms;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

std::optional<QString> writeTime(const QDateTime &time)
{
    const QDateTime utc = time.toUTC();
    const QDate date = utc.date();
    if (!utc.isValid() || date.year() < 1 || date.year() > 9999)
        return std::nullopt;
    const QTime clock = utc.time();
    QString text = QStringLiteral("%1-%2-%3T%4:%5:%6")
                       .arg(date.year(), 4, 10, QLatin1Char('0'))
                       .arg(date.month(), 2, 10, QLatin1Char('0'))
                       .arg(date.day(), 2, 10, QLatin1Char('0'))
                       .arg(clock.hour(), 2, 10, QLatin1Char('0'))
                       .arg(clock.minute(), 2, 10, QLatin1Char('0'))
                       .arg(clock.second(), 2, 10, QLatin1Char('0'));
    if (clock.msec() != 0)
        text += QStringLiteral(".%1").arg(clock.msec(), 3, 10, QLatin1Char('0'));
    return text + u'Z';
}

QString plainDecimal(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    std::array<char, 400> buffer {}; // every double fits in fixed form with 9 decimals
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::fixed, 9);
    Q_UNUSED(error);
    QString text = QString::fromLatin1(buffer.data(), end - buffer.data());
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    if (text == QLatin1StringView("-0"))
        text = QStringLiteral("0");
    return text;
}

QString plainLongitude(double longitude)
{
    QString text = plainDecimal(longitude);
    // 180 and what rounds to it is -180 to the schema; below -180 cannot come from a reader.
    if (const std::optional<double> back = coordinates::parseDegrees(text); back && *back >= 180.0)
        text = plainDecimal(longitude - 360.0);
    return text;
}

} // namespace formats
