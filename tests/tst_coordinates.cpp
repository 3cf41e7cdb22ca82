// Reading, validating and writing coordinates, and placing the pin.
#include "TestSupport.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstring>
#include <random>

using coordinates::formatDegrees;
using coordinates::parseDegrees;

namespace {

bool sameBits(double a, double b)
{
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

// The significant digits and the decimal exponent of a formatted number, e.g. "-0.0125" gives
// ("125", -2): the value is 0.d1d2d3... x 10^(exponent+1).
struct Decimal
{
    QString digits;
    int exponent = 0;
};

Decimal decompose(QString text)
{
    if (text.startsWith(u'-'))
        text.remove(0, 1);
    int exponent = 0;
    const qsizetype e = text.indexOf(u'e');
    if (e >= 0) {
        exponent = text.mid(e + 1).toInt();
        text.truncate(e);
    }
    const qsizetype point = text.indexOf(u'.');
    QString integer = point < 0 ? text : text.left(point);
    const QString fraction = point < 0 ? QString() : text.mid(point + 1);
    QString all = integer + fraction;
    int pointPosition = static_cast<int>(integer.size()) + exponent;
    while (all.startsWith(u'0') && all.size() > 1) {
        all.remove(0, 1);
        --pointPosition;
    }
    while (all.endsWith(u'0') && all.size() > 1)
        all.chop(1);
    return {all, pointPosition - 1};
}

double readBack(bool negative, const QString &digits, int exponent)
{
    const QByteArray text =
        (negative ? "-0." : "0.") + digits.toLatin1() + "e" + QByteArray::number(exponent + 1);
    return std::strtod(text.constData(), nullptr);
}

// True when a decimal with fewer significant digits than `text` also reads back as `value`.
bool shorterTextExists(double value, const QString &text)
{
    const Decimal decimal = decompose(text);
    if (decimal.digits.size() <= 1)
        return false;
    const bool negative = std::signbit(value);
    const QString truncated = decimal.digits.chopped(1);
    // The two neighbours with one digit less: the truncation and the next one up.
    QString up = truncated;
    int exponent = decimal.exponent;
    qsizetype i = up.size() - 1;
    while (i >= 0 && up[i] == u'9') {
        up[i] = u'0';
        --i;
    }
    if (i < 0) {
        up.prepend(u'1');
        ++exponent;
    } else {
        up[i] = QChar(up[i].unicode() + 1);
    }
    return sameBits(readBack(negative, truncated, decimal.exponent), value)
        || sameBits(readBack(negative, up, exponent), value);
}

} // namespace

class TestCoordinates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("value");

        QTest::newRow("plain") << "40.689247" << true << 40.689247;
        QTest::newRow("negative") << "-74.044502" << true << -74.044502;
        QTest::newRow("exponent") << "1e1" << true << 10.0;
        QTest::newRow("plus sign") << "+40" << true << 40.0;
        QTest::newRow("trailing point") << "40." << true << 40.0;
        QTest::newRow("leading point") << ".5" << true << 0.5;
        QTest::newRow("hexadecimal") << "0x1p3" << true << 8.0;
        QTest::newRow("underflow reads as zero") << "1e-400" << true << 0.0;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("leading space") << " 40" << false << 0.0;
        QTest::newRow("leading tab") << "\t40" << false << 0.0;
        QTest::newRow("leading line feed") << "\n40" << false << 0.0;
        QTest::newRow("leading NUL") << QString(QChar(0)) + u"40" << false << 0.0;
        QTest::newRow("embedded NUL")
            << QStringLiteral("40") + QChar(0) + QStringLiteral("5") << false << 0.0;
        QTest::newRow("trailing space") << "40 " << false << 0.0;
        QTest::newRow("comma decimal") << "40,5" << false << 0.0;
        QTest::newRow("degree sign") << "40°" << false << 0.0;
        QTest::newRow("letters") << "abc" << false << 0.0;
        QTest::newRow("sign only") << "-" << false << 0.0;
        QTest::newRow("arabic digits") << "٤٠" << false << 0.0;
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(double, value);
        const std::optional<double> parsed = parseDegrees(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid)
            QVERIFY(sameBits(*parsed, value));
    }

    void parseSpecialWords()
    {
        QVERIFY(std::isnan(parseDegrees(QStringLiteral("nan")).value_or(0)));
        QVERIFY(std::isinf(parseDegrees(QStringLiteral("inf")).value_or(0)));
        QVERIFY(std::isinf(parseDegrees(QStringLiteral("-Infinity")).value_or(0)));
        QVERIFY(std::isinf(parseDegrees(QStringLiteral("1e400")).value_or(0)));
    }

    void readCoordinates_data()
    {
        QTest::addColumn<QString>("latitude");
        QTest::addColumn<QString>("longitude");
        QTest::addColumn<bool>("valid");

        QTest::newRow("default pin") << "40.689247"
                                     << "-74.044502" << true;
        QTest::newRow("inclusive corners") << "90"
                                           << "-180" << true;
        QTest::newRow("other corners") << "-90"
                                       << "180" << true;
        QTest::newRow("latitude just over") << "90.000001"
                                            << "0" << false;
        QTest::newRow("longitude just over") << "0"
                                             << "-180.5" << false;
        QTest::newRow("latitude 91") << "91"
                                     << "0" << false;
        QTest::newRow("nan latitude") << "nan"
                                      << "0" << false;
        QTest::newRow("nan longitude") << "0"
                                       << "nan" << false;
        QTest::newRow("inf longitude") << "0"
                                       << "inf" << false;
        QTest::newRow("empty longitude") << "10"
                                         << "" << false;
        QTest::newRow("comma in longitude") << "10"
                                            << "2,5" << false;
        QTest::newRow("exponent forms") << "4.5e1"
                                        << "-1.2e2" << true;
    }

    void readCoordinates()
    {
        QFETCH(QString, latitude);
        QFETCH(QString, longitude);
        QFETCH(bool, valid);
        QCOMPARE(coordinates::readCoordinates(latitude, longitude).has_value(), valid);
    }

    void format_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");

        QTest::newRow("whole") << 40.0 << "40.0";
        QTest::newRow("negative whole") << -74.0 << "-74.0";
        QTest::newRow("zero") << 0.0 << "0.0";
        QTest::newRow("negative zero") << -0.0 << "-0.0";
        QTest::newRow("default latitude") << 40.689247 << "40.689247";
        QTest::newRow("London longitude") << -0.124625 << "-0.124625";
        QTest::newRow("trailing zero typed") << 40.70 << "40.7";
        QTest::newRow("smallest plain") << 0.0001 << "0.0001";
        QTest::newRow("below 1e-4") << 0.00001 << "1e-05";
        QTest::newRow("small with digits") << -2.5e-07 << "-2.5e-07";
        QTest::newRow("tiny") << 5e-324 << "5e-324";
        QTest::newRow("a tenth plus a fifth") << 0.1 + 0.2 << "0.30000000000000004";
        QTest::newRow("largest plain whole") << 9007199254740991.0 << "9007199254740991.0";
        QTest::newRow("2^53 switches to exponent") << 9007199254740992.0 << "9.007199254740992e+15";
        QTest::newRow("1e16") << 1e16 << "1e+16";
        QTest::newRow("huge") << -1.7976931348623157e308 << "-1.7976931348623157e+308";
        QTest::newRow("infinity") << HUGE_VAL << "inf";
        QTest::newRow("negative infinity") << -HUGE_VAL << "-inf";
        QTest::newRow("nan") << std::nan("") << "nan";
    }

    void format()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(formatDegrees(value), text);
    }

    // A million doubles, half of them random bit patterns (every magnitude) and half in the
    // coordinate range: every text reads back bit for bit and no shorter text would.
    void formatRoundTripsShortest()
    {
        std::mt19937_64 random(20261206);
        std::uniform_real_distribution<double> degrees(-180.0, 180.0);
        constexpr int kCount = 1'000'000;
        int shorterFound = 0;
        for (int i = 0; i < kCount; ++i) {
            double value = 0;
            if (i % 2 == 0) {
                do {
                    value = std::bit_cast<double>(random());
                } while (!std::isfinite(value));
            } else {
                value = degrees(random);
            }
            const QString text = formatDegrees(value);
            const std::optional<double> back = parseDegrees(text);
            if (!back || !sameBits(*back, value))
                QFAIL(qPrintable(QStringLiteral("%1 does not read back").arg(text)));
            if (i % 4 == 1 && shorterTextExists(value, text))
                ++shorterFound;
        }
        QCOMPARE(shorterFound, 0);
    }

    void shorterTextCheckWorks()
    {
        // The checker must see that an over-long text has a shorter form.
        QVERIFY(shorterTextExists(40.689247, QStringLiteral("40.6892470000000001")));
        QVERIFY(!shorterTextExists(40.689247, QStringLiteral("40.689247")));
    }

    void parseIgnoresTheUserLocale()
    {
        QTemporaryDir localeDir;
        QProcess localedef;
        localedef.start(QStringLiteral("localedef"),
                        {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                         QStringLiteral("UTF-8"),
                         localeDir.path() + QStringLiteral("/de_DE.UTF-8")});
        if (!localedef.waitForFinished(60000) || localedef.exitCode() != 0)
            QSKIP("localedef cannot build a comma-decimal locale here");
        qputenv("LOCPATH", QFile::encodeName(localeDir.path()));
        QVERIFY(std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr);
        QCOMPARE(std::localeconv()->decimal_point, ",");

        const std::optional<double> dot = parseDegrees(QStringLiteral("40.5"));
        const std::optional<double> comma = parseDegrees(QStringLiteral("40,5"));
        const QString written = formatDegrees(40.5);
        std::setlocale(LC_ALL, "C");
        qunsetenv("LOCPATH");

        QCOMPARE(dot.value_or(0), 40.5);
        QVERIFY(!comma);
        QCOMPARE(written, QStringLiteral("40.5"));
    }

    void pinRegionSpans6000Metres_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::newRow("equator") << 0.0;
        QTest::newRow("New York") << 40.689247;
        QTest::newRow("far north") << 78.2;
    }

    void pinRegionSpans6000Metres()
    {
        QFETCH(double, latitude);
        const MapRegion region = coordinates::pinRegion({latitude, 10.0});
        QCOMPARE(region.center, (CLLocationCoordinate2D {latitude, 10.0}));
        const double metersPerDegree = 6378137.0 * M_PI / 180.0;
        QVERIFY(std::fabs(region.latitudeDelta * metersPerDegree - 6000.0) < 1.0);
        const double eastWest =
            region.longitudeDelta * metersPerDegree * std::cos(latitude * M_PI / 180.0);
        QVERIFY(std::fabs(eastWest - 6000.0) < 1.0);
    }

    void placePin_data()
    {
        QTest::addColumn<bool>("recenter");
        QTest::newRow("keep camera") << false;
        QTest::newRow("recenter") << true;
    }

    void placePin()
    {
        QFETCH(bool, recenter);
        ScreenModel model;
        const MapCameraPosition before = model.state().cameraPosition;
        QSignalSpy changes(&model, &ScreenModel::changed);

        coordinates::placePin(model, recenter, {51.500729, -0.124625});

        QCOMPARE(changes.size(), 1);
        const ScreenState &s = model.state();
        QCOMPARE(s.pinCoordinate, (CLLocationCoordinate2D {51.500729, -0.124625}));
        QCOMPARE(s.latitudeText, QStringLiteral("51.500729"));
        QCOMPARE(s.longitudeText, QStringLiteral("-0.124625"));
        if (recenter)
            QCOMPARE(s.cameraPosition,
                     MapCameraPosition::fromRegion(coordinates::pinRegion({51.500729, -0.124625})));
        else
            QCOMPARE(s.cameraPosition, before);
        QVERIFY(!s.isLocationLocked);
        QVERIFY(s.lockStatusText.isEmpty());
    }

    void placePinTakesAnyValue()
    {
        ScreenModel model;
        coordinates::placePin(model, true, {95.0, 1e16});
        QCOMPARE(model.state().latitudeText, QStringLiteral("95.0"));
        QCOMPARE(model.state().longitudeText, QStringLiteral("1e+16"));
        QVERIFY(!coordinates::readCoordinateFields(model.state()));
    }
};

QTEST_GUILESS_MAIN(TestCoordinates)
#include "tst_coordinates.moc"
