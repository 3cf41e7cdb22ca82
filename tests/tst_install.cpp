// The tool folder the build lays out, the holding wrapper for idevicesetlocation, and the real
// program started from the demo layout and from the build folder.
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
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"),
                           home.path() + QStringLiteral("/cache"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.path() + QStringLiteral("/config"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("unshare"),
                      {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("ip link set lo up && exec \"$0\""), executable});
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
    probe.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), QStringLiteral("ip"), QStringLiteral("link"),
                 QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
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
        const ToolLocator locator(kBuildDir + QStringLiteral("/tool_extras"));
        QCOMPARE(locator.toolsDirectory(),
                 kBuildDir + QStringLiteral("/tool_extras/halvard_scripts/")
                     + platform::architectureFolderName());
        QStringList expected {QStringLiteral("ideviceinfo"), QStringLiteral("idevice_id"),
                              QStringLiteral("idevicepair"), QStringLiteral("idevicesetlocation"),
                              QStringLiteral("ios")};
        const bool hasPymobiledevice3 =
            !QStandardPaths::findExecutable(QStringLiteral("pymobiledevice3")).isEmpty();
        QCOMPARE(QFileInfo::exists(locator.toolsDirectory() + QStringLiteral("/pymobiledevice3")),
                 hasPymobiledevice3);
        const ToolRunner runner(locator, 20s);
        for (const QString &tool : expected) {
            const QFileInfo info(locator.toolsDirectory() + u'/' + tool);
            QVERIFY2(info.isFile() && info.isExecutable(), qPrintable(tool));
            QVERIFY2(!info.isSymLink(), qPrintable(tool)); // 0755 must only touch our files
            // Runnable: it launches and answers (with no device, an error of its own).
            const ToolRunResult result = runner.runTool(tool, {QStringLiteral("--help")});
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
        QTest::addColumn<bool>("attached");
        QTest::addColumn<bool>("holds");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("location");

        QTest::newRow("set holds")
            << QStringList {QStringLiteral("--"), QStringLiteral("-33.5"), QStringLiteral("151.25")}
            << true << true << 0 << ""
            << "-33.5 151.25";
        QTest::newRow("failure passes through")
            << QStringList {QStringLiteral("--"), QStringLiteral("1.0"), QStringLiteral("2.0")}
            << false << false << 1 << "ERROR: Device 00000000 not found!\n"
            << "";
        QTest::newRow("reset runs and exits")
            << QStringList {QStringLiteral("reset")} << true << false << 0 << ""
            << "";
    }

    void holdingWrapper()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, attached);
        QFETCH(bool, holds);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QString, location);

        // The kit's idevicesetlocation, made to behave like the stock tool: set and leave.
        SimDeviceKit kit;
        QVERIFY(kit.fault(QStringLiteral("idevicesetlocation"), QStringLiteral("exit-early")));
        if (attached)
            QVERIFY(kit.attach(QStringLiteral("16.7")));
        QTemporaryDir folder;
        QVERIFY(QFile::copy(kSourceDir + QStringLiteral("/tools/idevicesetlocation-hold.sh"),
                            folder.filePath(QStringLiteral("idevicesetlocation"))));
        QFile(folder.filePath(QStringLiteral("idevicesetlocation")))
            .setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        writeScript(folder.filePath(QStringLiteral("idevicesetlocation-stock")),
                    "#!/bin/sh\nexec '"
                        + kit.toolPath(QStringLiteral("idevicesetlocation")).toUtf8()
                        + "' \"$@\"\n");

        const auto wrapper =
            ChildProcess::launch(folder.filePath(QStringLiteral("idevicesetlocation")), arguments)
                .process;
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
        QCOMPARE(QString::fromUtf8(wrapper->takeOutput()), output);
    }

    void demoLayoutDetectsTheSimulatedDevice()
    {
        if (!canIsolateNetwork())
            QSKIP("cannot start the program without network here (unshare -n)");
        QTemporaryDir build;
        for (const QString &file : {QStringLiteral("pindrift"), QStringLiteral("simdevice")})
            QVERIFY(QFile::copy(kBuildDir + u'/' + file, build.filePath(file)));
        QProcess demo;
        demo.start(kSourceDir + QStringLiteral("/scripts/demo.sh"),
                   {QStringLiteral("--layout-only"), build.path()});
        QVERIFY(demo.waitForFinished(30000));
        QCOMPARE(demo.exitCode(), 0);

        QTemporaryDir iproxyDir;
        const QString fakeIproxy = iproxyDir.filePath(QStringLiteral("iproxy"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), fakeIproxy));
        QProcess iproxy;
        iproxy.start(fakeIproxy, {QStringLiteral("300")});
        QVERIFY(iproxy.waitForStarted());

        Program program(build.filePath(QStringLiteral("demo/bin/pindrift")));
        const QString udid = QString::fromLatin1(SimDeviceKit::defaultUdid);
        QTRY_VERIFY_WITH_TIMEOUT(
            program.output().contains(QStringLiteral("UniqueDeviceID: ") + udid), 20000);
        const QString text = program.output();
        for (const QString &line :
             {QStringLiteral("🔍 Checking for connected iOS devices..."),
              QStringLiteral("✓ Device detected"), QStringLiteral("ProductVersion: 17.4.1"),
              QStringLiteral("SerialNumber: F2LZK0ABCDEF"),
              QStringLiteral("ProductType: iPhone15,2")})
            QVERIFY2(text.contains(line + u'\n'), qPrintable(line));
        // The start-up killed the stale forwarder.
        QTRY_COMPARE_WITH_TIMEOUT(iproxy.state(), QProcess::NotRunning, 5000);
        QCOMPARE(iproxy.exitStatus(), QProcess::CrashExit);
        QCOMPARE(iproxy.exitCode(), SIGKILL);

        ::kill(static_cast<pid_t>(program.process.processId()), SIGTERM);
        QVERIFY(program.process.waitForFinished(15000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
    }

    void realToolsWithNoDeviceSurvive()
    {
        if (!canIsolateNetwork())
            QSKIP("cannot start the program without network here (unshare -n)");
        Program program(QStringLiteral(PINDRIFT_BINARY));
        QVERIFY(program.process.waitForStarted());
        // Several attachment polls (every 2 s) against the real tools with no device.
        QTest::qWait(5000);
        QCOMPARE(program.process.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(program.process.processId()), SIGTERM);
        QVERIFY(program.process.waitForFinished(15000));
        QCOMPARE(program.process.exitCode(), 0);
        const QString text = program.output();
        QVERIFY2(!text.contains(QStringLiteral("not found")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("✓ Device detected")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
