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
#include <random>

using namespace Qt::StringLiterals;

using coordinates::formatDegrees;
using coordinates::parseDegrees;

namespace {

bool sameBits(double a, double b)
{
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

} // namespace

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(CLLocationCoordinate2D)

class TestCoordinates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<double>>("value"); // NaN stands for any NaN

        const auto row = [](const char *name, const char *text, std::optional<double> value) {
            QTest::newRow(name) << QString::fromUtf8(text) << value;
        };
        row("plain", "40.689247", 40.689247);
        row("negative", "-74.044502", -74.044502);
        row("exponent", "1e1", 10.0);
        row("plus sign", "+40", 40.0);
        row("trailing point", "40.", 40.0);
        row("leading point", ".5", 0.5);
        row("hexadecimal", "0x1p3", 8.0);
        row("underflow reads as zero", "1e-400", 0.0);
        row("overflow reads as infinity", "1e400", HUGE_VAL);
        row("infinity word", "-Infinity", -HUGE_VAL);
        row("nan word", "nan", std::nan(""));
        for (const char *text : {"", " 40", "\t40", "\n40", "40 ", "40,5", "40°", "abc", "-", "٤٠"})
            QTest::addRow("rejects '%s'", text)
                << QString::fromUtf8(text) << std::optional<double>();
        QTest::newRow("leading NUL") << QString(QChar(0)) + u"40" << std::optional<double>();
        QTest::newRow("embedded NUL") << u"40"_s + QChar(0) + u"5" << std::optional<double>();
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<double>, value);
        const std::optional<double> parsed = parseDegrees(text);
        QCOMPARE(parsed.has_value(), value.has_value());
        if (value)
            QVERIFY(std::isnan(*value) ? std::isnan(*parsed) : sameBits(*parsed, *value));
    }

    void readCoordinates_data()
    {
        QTest::addColumn<QString>("latitude");
        QTest::addColumn<QString>("longitude");
        QTest::addColumn<bool>("valid");
        // clang-format off
        QTest::newRow("default pin") << "40.689247" << "-74.044502" << true;
        QTest::newRow("inclusive corners") << "90" << "-180" << true;
        QTest::newRow("other corners") << "-90" << "180" << true;
        QTest::newRow("exponent forms") << "4.5e1" << "-1.2e2" << true;
        QTest::newRow("latitude just over") << "90.000001" << "0" << false;
        QTest::newRow("longitude just over") << "0" << "-180.5" << false;
        QTest::newRow("nan latitude") << "nan" << "0" << false;
        QTest::newRow("nan longitude") << "0" << "nan" << false;
        QTest::newRow("inf longitude") << "0" << "inf" << false;
        QTest::newRow("empty longitude") << "10" << "" << false;
        QTest::newRow("comma in longitude") << "10" << "2,5" << false;
        // clang-format on
    }

    void readCoordinates()
    {
        QFETCH(QString, latitude);
        QFETCH(QString, longitude);
        QTEST(coordinates::readCoordinates(latitude, longitude).has_value(), "valid");
    }

    void format_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        // clang-format off
        QTest::newRow("whole") << 40.0 << "40.0";
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
        // clang-format on
    }

    void format()
    {
        QFETCH(double, value);
        QTEST(formatDegrees(value), "text");
    }

    // A million doubles, half of them random bit patterns (every magnitude) and half in the
    // coordinate range: every text reads back bit for bit.
    void formatRoundTrips()
    {
        std::mt19937_64 random(20261206);
        std::uniform_real_distribution<double> degrees(-180.0, 180.0);
        for (int i = 0; i < 1'000'000; ++i) {
            double value = degrees(random);
            if (i % 2 == 0) {
                do {
                    value = std::bit_cast<double>(random());
                } while (!std::isfinite(value));
            }
            const QString text = formatDegrees(value);
            const std::optional<double> back = parseDegrees(text);
            if (!back || !sameBits(*back, value))
                QFAIL(qPrintable(u"%1 does not read back"_s.arg(text)));
        }
    }

    void parseIgnoresTheUserLocale()
    {
        QTemporaryDir localeDir;
        QProcess localedef;
        localedef.start(
            u"localedef"_s,
            {u"-i"_s, u"de_DE"_s, u"-f"_s, u"UTF-8"_s, localeDir.path() + u"/de_DE.UTF-8"_s});
        if (!localedef.waitForFinished(60000) || localedef.exitCode() != 0)
            QSKIP("localedef cannot build a comma-decimal locale here");
        qputenv("LOCPATH", QFile::encodeName(localeDir.path()));
        QVERIFY(std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr);
        QCOMPARE(std::localeconv()->decimal_point, ",");

        const std::optional<double> dot = parseDegrees(u"40.5"_s);
        const std::optional<double> comma = parseDegrees(u"40,5"_s);
        const QString written = formatDegrees(40.5);
        std::setlocale(LC_ALL, "C");
        qunsetenv("LOCPATH");

        QCOMPARE(dot.value_or(0), 40.5);
        QVERIFY(!comma);
        QCOMPARE(written, u"40.5"_s);
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
        QTest::addColumn<CLLocationCoordinate2D>("place");
        QTest::addColumn<QStringList>("texts");
        const CLLocationCoordinate2D london {51.500729, -0.124625};
        const QStringList londonTexts {u"51.500729"_s, u"-0.124625"_s};
        QTest::newRow("keep camera") << false << london << londonTexts;
        QTest::newRow("recenter") << true << london << londonTexts;
        // Any value is placed; the fields then fail their own check.
        QTest::newRow("out of range")
            << true << CLLocationCoordinate2D {95.0, 1e16} << QStringList {u"95.0"_s, u"1e+16"_s};
    }

    void placePin()
    {
        QFETCH(bool, recenter);
        QFETCH(CLLocationCoordinate2D, place);
        ScreenModel model;
        const MapCameraPosition before = model.state().cameraPosition;
        QSignalSpy changes(&model, &ScreenModel::changed);

        coordinates::placePin(model, recenter, place);

        QCOMPARE(changes.size(), 1);
        const ScreenState &s = model.state();
        QCOMPARE(s.pinCoordinate, place);
        QTEST((QStringList {s.latitudeText, s.longitudeText}), "texts");
        QCOMPARE(s.cameraPosition,
                 recenter ? MapCameraPosition::fromRegion(coordinates::pinRegion(place)) : before);
        QVERIFY(!s.isLocationLocked && s.lockStatusText.isEmpty());
        QCOMPARE(coordinates::readCoordinateFields(s).has_value(), place.latitude < 90);
    }
};

QTEST_GUILESS_MAIN(TestCoordinates)
#include "tst_coordinates.moc"
