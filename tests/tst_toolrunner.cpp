// The tool runner against plain scripts and the simulated device kit.
#include "TestSupport.h"
#include "platform/Platform.h"
#include "tools/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

constexpr const char *kAbsent = "<absent>";

QString shown(const std::optional<QString> &output)
{
    return output ? *output : QString::fromLatin1(kAbsent);
}

} // namespace

class TestToolRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        QVERIFY(root_.isValid());
        toolsDir_ =
            root_.path() + QStringLiteral("/halvard_scripts/") + platform::architectureFolderName();
        QVERIFY(QDir().mkpath(toolsDir_));
    }

    void runTool_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no file at all
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("console"); // a trailing "*" matches any rest of line

        const QByteArray echoArgs =
            "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\necho \"$#\"\n";
        QTest::newRow("missing tool")
            << QByteArray() << 0755 << QStringList() << kAbsent << -1
            << QStringList {QStringLiteral("❌ Bundled tool not found: tool")};
        QTest::newRow("no execute bit is fixed")
            << QByteArray("#!/bin/sh\necho hi\n") << 0644 << QStringList() << "hi\n"
            << 0 << QStringList();
        QTest::newRow("stderr interleaved")
            << QByteArray("#!/bin/sh\necho out1\necho err1 >&2\necho out2\n") << 0755
            << QStringList() << "out1\nerr1\nout2\n"
            << 0 << QStringList();
        QTest::newRow("non-UTF-8 keeps the status")
            << QByteArray("#!/bin/sh\nprintf 'ok \\377\\376'\nexit 3\n") << 0755 << QStringList()
            << kAbsent << 3 << QStringList();
        QTest::newRow("truncated UTF-8 sequence")
            << QByteArray("#!/bin/sh\nprintf 'caf\\303'\n") << 0755 << QStringList() << kAbsent << 0
            << QStringList();
        QTest::newRow("UTF-8 text untrimmed") << QByteArray("#!/bin/sh\nprintf '  café 🔒 \\n\\n'\n")
                                              << 0755 << QStringList() << "  café 🔒 \n\n"
                                              << 0 << QStringList();
        QTest::newRow("non-zero status with output")
            << QByteArray("#!/bin/sh\necho failing\nexit 7\n") << 0755 << QStringList()
            << "failing\n"
            << 7 << QStringList();
        QTest::newRow("empty argument list") << echoArgs << 0755 << QStringList() << "0\n"
                                             << 0 << QStringList();
        QTest::newRow("arguments passed verbatim, no shell")
            << echoArgs << 0755
            << QStringList {QStringLiteral("a b"), QString(), QStringLiteral("$HOME"),
                            QStringLiteral("*"), QStringLiteral("-74.0")}
            << "[a b]\n[]\n[$HOME]\n[*]\n[-74.0]\n5\n"
            << 0 << QStringList();
        QTest::newRow("launch failure") << QByteArray("\x7f"
                                                      "ELF broken")
                                        << 0755 << QStringList() << kAbsent << -1
                                        << QStringList {QStringLiteral("❌ Error running tool: *")};
    }

    void runTool()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, mode);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QFETCH(int, status);
        QFETCH(QStringList, console);

        const QString path = toolsDir_ + QStringLiteral("/tool");
        QFile::remove(path);
        if (!script.isEmpty()) {
            writeScript(path, script);
            QVERIFY(chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0);
        }
        const int childrenBefore = static_cast<int>(ProcessCensus::children().size());
        const int descriptorsBefore = ProcessCensus::openDescriptors();

        ConsoleCapture capture;
        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path())).runTool(QStringLiteral("tool"), arguments);

        QCOMPARE(shown(result.output), output);
        QCOMPARE(result.exitStatus, status);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), console.size());
        for (qsizetype i = 0; i < console.size(); ++i) {
            if (console[i].endsWith(u'*'))
                QVERIFY2(lines[i].startsWith(console[i].chopped(1)), qPrintable(lines[i]));
            else
                QCOMPARE(lines[i], console[i]);
        }
        if (!script.isEmpty())
            QCOMPARE(QFileInfo(path).permissions() & 0x7777,
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                         | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
                         | QFile::ReadOther | QFile::ExeOther);
        QCOMPARE(ProcessCensus::children().size(), childrenBefore);
        QCOMPARE(ProcessCensus::openDescriptors(), descriptorsBefore);
    }

    void megabyteOfOutputDoesNotStall()
    {
        SimDeviceKit kit;
        QVERIFY(kit.isValid());
        QVERIFY(kit.attach());
        QVERIFY(kit.fault(QStringLiteral("ideviceinfo"), QStringLiteral("huge")));
        const ToolRunResult result =
            kit.environment().toolRunner().runTool(QStringLiteral("ideviceinfo"), {});
        QCOMPARE(result.exitStatus, 0);
        QVERIFY(result.output);
        QVERIFY(result.output->size() > 1024 * 1024);
        QVERIFY(result.output->contains(QStringLiteral("ActivationState: Activated")));
    }

    void hungToolIsKilledAtTheDeadline()
    {
        SimDeviceKit kit;
        QVERIFY(kit.isValid());
        QVERIFY(kit.fault(QStringLiteral("idevice_id"), QStringLiteral("hang")));
        const int descriptorsBefore = ProcessCensus::openDescriptors();
        ConsoleCapture capture;

        const ToolRunner runner(ToolLocator(kit.resourceFolder()), 300ms);
        const ToolRunResult result =
            runner.runTool(QStringLiteral("idevice_id"), {QStringLiteral("-l")});

        QVERIFY(!result.output);
        QCOMPARE(result.exitStatus, -1);
        QCOMPARE(capture.lines(),
                 QStringList {
                     QStringLiteral("❌ idevice_id did not finish within 0.3 s and was stopped")});
        QVERIFY(ProcessCensus::children().isEmpty());
        QCOMPARE(ProcessCensus::openDescriptors(), descriptorsBefore);
    }

    void helpersOfAHungToolEndWithIt()
    {
        // The tool leaves a helper that holds the pipe open; neither may outlive the deadline.
        writeScript(toolsDir_ + QStringLiteral("/forking"),
                    "#!/bin/sh\necho started\nsleep 60 &\necho $! > '"
                        + QFile::encodeName(root_.path()) + "/helper.pid'\nsleep 60\n");
        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path()), 500ms).runTool(QStringLiteral("forking"), {});
        QCOMPARE(result.exitStatus, -1);
        QFile pidFile(root_.path() + QStringLiteral("/helper.pid"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t helper = pidFile.readAll().trimmed().toInt();
        QVERIFY(helper > 0);
        QTRY_VERIFY(!ProcessCensus::isRunning(helper));
        QVERIFY(ProcessCensus::children().isEmpty());
    }

    void aToolThatEndsBeforeItsHelperStillReturns()
    {
        // The helper keeps the pipe open after the tool itself has exited.
        writeScript(toolsDir_ + QStringLiteral("/detaching"),
                    "#!/bin/sh\necho done\n(sleep 2; echo late) &\nexit 4\n");
        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path()), 20s).runTool(QStringLiteral("detaching"), {});
        QCOMPARE(result.exitStatus, 4);
        QCOMPARE(result.output.value_or(QString()), QStringLiteral("done\n"));
    }

    void architectureChoosesTheFolder_data()
    {
        QTest::addColumn<QString>("architecture");
        QTest::newRow("Arm") << QStringLiteral("silicon");
        QTest::newRow("x86-64") << QStringLiteral("intel");
    }

    void architectureChoosesTheFolder()
    {
        QFETCH(QString, architecture);
        for (const QString &family : {QStringLiteral("silicon"), QStringLiteral("intel")}) {
            const QString dir = root_.path() + QStringLiteral("/halvard_scripts/") + family;
            QDir().mkpath(dir);
            writeScript(dir + QStringLiteral("/which"),
                        "#!/bin/sh\necho " + family.toUtf8() + "\n");
        }
        const ToolLocator locator(root_.path(), architecture);
        QCOMPARE(locator.toolsDirectory(),
                 root_.path() + QStringLiteral("/halvard_scripts/") + architecture);
        const ToolRunResult result = ToolRunner(locator).runTool(QStringLiteral("which"), {});
        QCOMPARE(result.output.value_or(QString()), architecture + u'\n');
    }

    void thisMachineIsIntelOrSilicon()
    {
#if defined(Q_PROCESSOR_ARM_64)
        QCOMPARE(platform::architectureFolderName(), QStringLiteral("silicon"));
#elif defined(Q_PROCESSOR_X86_64)
        QCOMPARE(platform::architectureFolderName(), QStringLiteral("intel"));
#endif
    }

    void missingResourceFolderLooksAtTheRoot()
    {
        const ToolLocator locator {QString()};
        QCOMPARE(locator.toolsDirectory(),
                 QStringLiteral("/halvard_scripts/") + platform::architectureFolderName());
        ConsoleCapture capture;
        const ToolRunResult result = ToolRunner(locator).runTool(QStringLiteral("ideviceinfo"), {});
        QCOMPARE(result.exitStatus, -1);
        QCOMPARE(capture.lines(),
                 QStringList {QStringLiteral("❌ Bundled tool not found: ideviceinfo")});
    }

    void runExecutableLaunchFailure()
    {
        ConsoleCapture capture;
        const ToolRunResult result =
            ToolRunner().runExecutable(root_.path() + QStringLiteral("/no/such/shell"),
                                       {QStringLiteral("-c"), QStringLiteral("true")});
        QVERIFY(!result.output);
        QCOMPARE(result.exitStatus, -1);
        QCOMPARE(capture.lines().size(), 1);
        QVERIFY(capture.lines().first().startsWith(QStringLiteral("Error: ")));
        QVERIFY(!capture.lines().first().contains(QStringLiteral("❌")));
    }

    void runExecutableDoesNotTouchPermissions()
    {
        const QString path =
            writeScript(root_.path() + QStringLiteral("/plain"), "#!/bin/sh\necho x\n");
        QVERIFY(chmod(QFile::encodeName(path).constData(), 0700) == 0);
        const ToolRunResult result = ToolRunner().runExecutable(path, {});
        QCOMPARE(result.output.value_or(QString()), QStringLiteral("x\n"));
        QCOMPARE(QFileInfo(path).permissions() & (QFile::ReadOther | QFile::ExeOther),
                 QFile::Permissions());
    }

    void manyRunsLeaveNothingBehind()
    {
        SimDeviceKit kit;
        QVERIFY(kit.isValid());
        QVERIFY(kit.attach());
        const ToolRunner runner = kit.environment().toolRunner();
        runner.runTool(QStringLiteral("idevice_id"), {QStringLiteral("-l")}); // warm up
        const int descriptorsBefore = ProcessCensus::openDescriptors();
        for (int i = 0; i < 40; ++i) {
            const ToolRunResult result =
                runner.runTool(QStringLiteral("idevice_id"), {QStringLiteral("-l")});
            QCOMPARE(result.output.value_or(QString()),
                     QString::fromLatin1(SimDeviceKit::defaultUdid) + u'\n');
        }
        QVERIFY(ProcessCensus::children().isEmpty());
        QCOMPARE(ProcessCensus::zombieChildren(), 0);
        QCOMPARE(ProcessCensus::openDescriptors(), descriptorsBefore);
    }

private:
    QTemporaryDir root_;
    QString toolsDir_;
};

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
