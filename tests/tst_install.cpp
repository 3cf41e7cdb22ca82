// The tool folder the build lays out, the holding wrapper for idevicesetlocation, and the real
// program started from the demo layout and with the build's real tools.
#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Platform.h"
#include "tools/ToolRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString kBuildDir = QFileInfo(QStringLiteral(PINDRIFT_BINARY)).absolutePath();
const QString kSourceDir = QStringLiteral(PINDRIFT_SOURCE_DIR);

// The program, started without network (its own network namespace with only loopback), so
// that neither the geolocation lookup nor the map tiles leave this machine.
struct Program
{
    explicit Program(const QString &executable)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"XDG_CACHE_HOME"_s, home.path() + u"/cache"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, home.path() + u"/config"_s);
        process.setProcessEnvironment(environment);
        process.start(
            u"unshare"_s,
            {u"-n"_s, u"sh"_s, u"-c"_s, u"ip link set lo up && exec \"$0\""_s, executable});
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QString output()
    {
        text += QString::fromUtf8(process.readAll());
        return text;
    }

    QTemporaryDir home;
    QProcess process;
    QString text;
};

bool canIsolateNetwork()
{
    QProcess probe;
    probe.start(u"unshare"_s, {u"-n"_s, u"ip"_s, u"link"_s, u"set"_s, u"lo"_s, u"up"_s});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit
        && probe.exitCode() == 0;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QTRY_VERIFY(ProcessCensus::children().isEmpty()); }

    void buildFillsTheToolFolder()
    {
        const ToolLocator locator(kBuildDir + u"/tool_extras"_s);
        QCOMPARE(QFileInfo::exists(locator.toolsDirectory() + u"/pymobiledevice3"_s),
                 !QStandardPaths::findExecutable(u"pymobiledevice3"_s).isEmpty());
        const ToolRunner runner(locator, 20s);
        for (const QString &tool : {u"ideviceinfo"_s, u"idevice_id"_s, u"idevicepair"_s,
                                    u"idevicesetlocation"_s, u"ios"_s}) {
            const QFileInfo info(locator.toolsDirectory() + u'/' + tool);
            // 0755 must only touch our files, never a linked system file.
            QVERIFY2(info.isFile() && info.isExecutable() && !info.isSymLink(), qPrintable(tool));
            // Runnable: it launches and answers (with no device, an error of its own).
            const ToolRunResult result = runner.runTool(tool, {u"--help"_s});
            QVERIFY2(result.exitStatus != -1, qPrintable(tool));
        }
        // go-ios, the pinned copy: a real binary, not a wrapper.
        const ToolRunResult version =
            runner.runTool(QStringLiteral("ios"), {QStringLiteral("version")});
        QCOMPARE(version.exitStatus, 0);
        QVERIFY(
            version.output.value_or(QString()).contains(QStringLiteral("\"version\":\"1.2.0\"")));
    }

    void holdingWrapper_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // non-zero: no device attached
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("location"); // empty: the wrapper does not hold
        // clang-format off
        QTest::newRow("set holds") << QStringList {u"--"_s, u"-33.5"_s, u"151.25"_s} << 0 << QString() << u"-33.5 151.25"_s;
        QTest::newRow("failure passes through") << QStringList {u"--"_s, u"1.0"_s, u"2.0"_s} << 255 << u"ERROR: No device found!\n"_s << QString();
        QTest::newRow("reset runs and exits") << QStringList {u"reset"_s} << 0 << QString() << QString();
        // clang-format on
    }

    void holdingWrapper()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, location);
        const bool holds = !location.isEmpty();

        // The kit's idevicesetlocation, made to behave like the stock tool: set and leave.
        SimDeviceKit kit;
        QVERIFY(kit.fault(u"idevicesetlocation"_s, u"exit-early"_s));
        if (status == 0)
            QVERIFY(kit.attach(u"16.7"_s));
        QTemporaryDir folder;
        QVERIFY(QFile::copy(kSourceDir + u"/tools/idevicesetlocation-hold.sh"_s,
                            folder.filePath(u"idevicesetlocation"_s)));
        QFile(folder.filePath(u"idevicesetlocation"_s))
            .setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        writeScript(folder.filePath(u"idevicesetlocation-stock"_s),
                    "#!/bin/sh\nexec '" + kit.toolPath(u"idevicesetlocation"_s).toUtf8()
                        + "' \"$@\"\n");

        const auto wrapper =
            ChildProcess::launch(folder.filePath(u"idevicesetlocation"_s), arguments).process;
        QVERIFY(wrapper);
        const bool ended = wrapper->waitForExit(holds ? 1500ms : 10000ms);
        QCOMPARE(ended, !holds);
        QCOMPARE(kit.location(), location);
        if (holds) {
            const QList<pid_t> helpers = ProcessCensus::descendantsOf(wrapper->processId());
            wrapper->terminate();
            QVERIFY(wrapper->waitForExit(10000ms));
            QCOMPARE(wrapper->endedBySignal(), false);
            for (pid_t helper : helpers)
                QTRY_VERIFY(!ProcessCensus::isRunning(helper));
        }
        QCOMPARE(wrapper->exitStatus(), std::optional<int>(status));
        QTEST(QString::fromUtf8(wrapper->takeOutput()), "output");
    }

    void demoLayoutDetectsTheSimulatedDevice()
    {
        if (!canIsolateNetwork())
            QSKIP("cannot start the program without network here (unshare -n)");
        QTemporaryDir build;
        for (const QString &file : {u"pindrift"_s, u"simdevice"_s})
            QVERIFY(QFile::copy(kBuildDir + u'/' + file, build.filePath(file)));
        QProcess demo;
        demo.start(kSourceDir + u"/scripts/demo.sh"_s, {u"--layout-only"_s, build.path()});
        QVERIFY(demo.waitForFinished(30000));
        QCOMPARE(demo.exitCode(), 0);

        Program program(build.filePath(u"demo/bin/pindrift"_s));
        const QString udid = QString::fromLatin1(SimDeviceKit::defaultUdid);
        QTRY_VERIFY_WITH_TIMEOUT(program.output().contains(u"UniqueDeviceID: "_s + udid), 20000);
        ::kill(static_cast<pid_t>(program.process.processId()), SIGTERM);
        QVERIFY(program.process.waitForFinished(15000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
    }

    // Several attachment polls (every 2 s) against the build's tool folder with no device: the
    // real probe answers "none", so no detection starts. The copy's tools note each call.
    void realToolsWithNoDeviceSurvive()
    {
        if (!canIsolateNetwork())
            QSKIP("cannot start the program without network here (unshare -n)");
        QTemporaryDir copy;
        const QString tools =
            copy.filePath(u"tool_extras/halvard_scripts/"_s) + platform::architectureFolderName();
        QVERIFY(QDir().mkpath(tools)
                && QFile::copy(kBuildDir + u"/pindrift"_s, copy.filePath(u"pindrift"_s)));
        const QString calls = copy.filePath(u"calls"_s);
        const QByteArray real = QFile::encodeName(kBuildDir) + "/tool_extras/halvard_scripts/"
            + platform::architectureFolderName().toUtf8() + '/';
        for (const QByteArray tool : {"idevice_id", "ideviceinfo"})
            writeScript(tools + u'/' + QLatin1String(tool),
                        "#!/bin/sh\necho " + tool + " >> '" + QFile::encodeName(calls) + "'\nexec '"
                            + real + tool + "' \"$@\"\n");
        const auto polls = [&] {
            QFile file(calls);
            return file.open(QIODevice::ReadOnly) ? file.readAll().count("idevice_id\n") : 0;
        };
        Program program(copy.filePath(u"pindrift"_s));
        QTRY_VERIFY_WITH_TIMEOUT(polls() >= 3, 20000);
        QCOMPARE(program.process.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(program.process.processId()), SIGTERM);
        QVERIFY(program.process.waitForFinished(15000));
        QCOMPARE(program.process.exitCode(), 0);
        const QString text = program.output();
        QVERIFY2(!text.contains(u"not found"_s) && !text.contains(u"🔍"_s), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
