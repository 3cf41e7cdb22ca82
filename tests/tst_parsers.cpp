// The two parsers that read text from outside (the coordinate fields and the IP-geolocation
// answer) against seeded random inputs; CI runs the fuzzers over their seed corpus.
#include "ParserProperties.h"
#include "geo/GeolocationBody.h"

#include <QTest>
#include <bit>
#include <cmath>
#include <random>

namespace {

constexpr int kCases = 100000;

template<typename T>
const T &pick(std::mt19937_64 &random, const std::vector<T> &choices)
{
    return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(random)];
}

// A coordinate field as a person or a paste might fill it: pieces of numbers and of other text.
QString fieldText(std::mt19937_64 &random, bool wellFormed)
{
    std::uniform_int_distribution<int> digitCount(1, 22);
    const auto digits = [&] {
        QString text;
        for (int n = digitCount(random); n > 0; --n)
            text += QChar(u'0' + static_cast<char16_t>(random() % 10));
        return text;
    };
    if (wellFormed) {
        return pick(random, std::vector<QString> {{}, QStringLiteral("-"), QStringLiteral("+")})
            + digits() + QStringLiteral(".") + digits()
            + pick(random,
                   std::vector<QString> {
                       {}, QStringLiteral("e"), QStringLiteral("E-"), QStringLiteral("e+")})
            + QString::number(random() % 400);
    }
    // Pieces of numbers and of other text; "~" stands for NUL.
    static const QStringList pieces =
        QStringLiteral("|-|+|.|e|E|0x|p| |\t|inf|nan|Infinity|(|)|,|°|٤|~|1e400|1e-400|0")
            .replace(u'~', QChar(0))
            .split(u'|');
    const std::vector<QString> choices(pieces.begin(), pieces.end());
    QString text;
    for (int n = static_cast<int>(random() % 6) + 1; n > 0; --n)
        text += random() % 3 == 0 ? digits() : pick(random, choices);
    return text;
}

// IP-geolocation answers around two numbers, with other members, blanks and key orders.
class BodyWriter
{
public:
    explicit BodyWriter(std::mt19937_64 &random)
        : random_(random)
    {
    }

    double coordinate()
    {
        switch (random_() % 3) {
        case 0: { // any normal number, at every magnitude
            double value = 0;
            do {
                value = std::bit_cast<double>(random_());
            } while (!std::isnormal(value));
            return value;
        }
        case 1:
            return std::uniform_real_distribution<double>(-180.0, 180.0)(random_);
        default:
            return static_cast<double>(static_cast<int>(random_() % 361) - 180);
        }
    }

    QByteArray number(double value)
    {
        QByteArray text = coordinates::formatDegrees(value).toLatin1();
        if (text.endsWith(".0") && random_() % 2 == 0)
            text.chop(2); // a JSON integer
        return text;
    }

    QByteArray blank()
    {
        return pick(random_, std::vector<QByteArray> {"", " ", "\n  ", "\t", "\r\n"});
    }

    QByteArray otherValue()
    {
        return pick(random_,
                    std::vector<QByteArray> {"\"48.8\"", "null", "true", "false", "[1,2]", "{}",
                                             "{\"latitude\":1,\"longitude\":2}",
                                             "\"\\u00e9\\\"\\n\"", "\"\""});
    }

    // `latitude` or `longitude` absent leaves that member out; `other` replaces one number.
    QByteArray body(const std::optional<QByteArray> &latitude,
                    const std::optional<QByteArray> &longitude)
    {
        std::vector<QByteArray> members;
        if (latitude)
            members.push_back("\"latitude\"" + blank() + ':' + blank() + *latitude);
        if (longitude)
            members.push_back("\"longitude\"" + blank() + ':' + blank() + *longitude);
        static const std::vector<QByteArray> keys {"ip",        "city",   "lat",    "Latitude",
                                                   "latitude ", "region", "\\u00e9"};
        for (int n = static_cast<int>(random_() % 5); n > 0; --n)
            members.push_back('"' + pick(random_, keys) + "\":" + blank()
                              + (random_() % 2 ? number(coordinate()) : otherValue()));
        std::shuffle(members.begin(), members.end(), random_);
        QByteArray text = blank() + '{' + blank();
        for (size_t i = 0; i < members.size(); ++i)
            text += (i ? "," + blank() : QByteArray()) + members[i] + blank();
        return text + '}';
    }

private:
    std::mt19937_64 &random_;
};

enum class Body { Exact, OtherType, Missing, Nested, CutShort, TrailingText };

} // namespace

Q_DECLARE_METATYPE(Body)

class TestParsers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void degreesAgreeWithFromChars_data()
    {
        QTest::addColumn<bool>("wellFormed");
        QTest::newRow("decimal numbers") << true;
        QTest::newRow("pieces of numbers and text") << false;
    }

    void degreesAgreeWithFromChars()
    {
        QFETCH(bool, wellFormed);
        std::mt19937_64 random(wellFormed ? 1206 : 1207);
        for (int i = 0; i < kCases; ++i) {
            const QString text = fieldText(random, wellFormed);
            if (const auto problem = properties::checkDegrees(text))
                QFAIL(qPrintable(*problem));
        }
    }

    void geolocationBodies_data()
    {
        QTest::addColumn<Body>("kind");
        QTest::newRow("two numbers among other members") << Body::Exact;
        QTest::newRow("one of them another type") << Body::OtherType;
        QTest::newRow("one of them missing") << Body::Missing;
        QTest::newRow("nested one level down") << Body::Nested;
        QTest::newRow("cut short") << Body::CutShort;
        QTest::newRow("text after the object") << Body::TrailingText;
    }

    void geolocationBodies()
    {
        QFETCH(Body, kind);
        std::mt19937_64 random(2026 + static_cast<int>(kind));
        BodyWriter writer(random);
        for (int i = 0; i < kCases / 20; ++i) {
            const CLLocationCoordinate2D place {writer.coordinate(), writer.coordinate()};
            std::optional<QByteArray> latitude = writer.number(place.latitude);
            std::optional<QByteArray> longitude = writer.number(place.longitude);
            const bool first = random() % 2;
            if (kind == Body::OtherType)
                (first ? latitude : longitude) = writer.otherValue();
            if (kind == Body::Missing)
                (first ? latitude : longitude).reset();
            QByteArray body = writer.body(latitude, longitude);
            if (kind == Body::Nested)
                body = "{\"" + QByteArray(first ? "location" : "data") + "\":" + body + '}';
            if (kind == Body::CutShort)
                body.truncate(static_cast<qsizetype>(random() % static_cast<quint64>(body.size())));
            if (kind == Body::TrailingText)
                body +=
                    writer.blank() + pick(random, std::vector<QByteArray> {"x", "{}", "1", ","});

            const auto parsed = geolocation::parseGeolocationBody(body);
            const bool expected = kind == Body::Exact;
            QVERIFY2(parsed.has_value() == expected, body.constData());
            if (expected)
                QVERIFY2(std::bit_cast<quint64>(parsed->latitude)
                                 == std::bit_cast<quint64>(place.latitude)
                             && std::bit_cast<quint64>(parsed->longitude)
                                 == std::bit_cast<quint64>(place.longitude),
                         body.constData());
            if (const auto problem = properties::checkGeolocationBody(body))
                QFAIL(qPrintable(*problem + QStringLiteral(": ") + QString::fromUtf8(body)));
        }
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"
