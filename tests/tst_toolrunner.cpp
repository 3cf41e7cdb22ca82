// The tool runner against plain scripts.
#include "TestSupport.h"
#include "platform/Platform.h"
#include "state/AppEnvironment.h"
#include "tools/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class TestToolRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        toolsDir_ = root_.path() + u"/halvard_scripts/"_s + platform::architectureFolderName();
        QVERIFY(QDir().mkpath(toolsDir_));
    }

    void runTool_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no file at all
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<QString>("output"); // "<absent>": no output
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("console"); // the one line written, "*" ending a prefix

        const QString absent = u"<absent>"_s;
        const QByteArray echo = "for a in \"$@\"; do echo \"[$a]\"; done\necho \"$#\"\n";
        // A helper that would outlive the tool, its pid noted for the check.
        const QByteArray helper = "sleep 60 &\necho $! > \"$(dirname \"$0\")/helper.pid\"\n";
        // clang-format off
        QTest::newRow("no execute bit is fixed") << QByteArray("echo hi\n") << 0644 << QStringList() << 5000 << u"hi\n"_s << 0 << QString();
        QTest::newRow("stderr interleaved") << QByteArray("echo out1\necho err1 >&2\necho out2\n") << 0755 << QStringList() << 5000 << u"out1\nerr1\nout2\n"_s << 0 << QString();
        QTest::newRow("non-UTF-8 keeps the status") << QByteArray("printf 'ok \\377\\376'\nexit 3\n") << 0755 << QStringList() << 5000 << absent << 3 << QString();
        QTest::newRow("truncated UTF-8 sequence") << QByteArray("printf 'caf\\303'\n") << 0755 << QStringList() << 5000 << absent << 0 << QString();
        QTest::newRow("UTF-8 text untrimmed, non-zero status") << QByteArray("printf '  café 🔒 \\n\\n'\nexit 7\n") << 0755 << QStringList() << 5000 << u"  café 🔒 \n\n"_s << 7 << QString();
        QTest::newRow("empty argument list") << echo << 0755 << QStringList() << 5000 << u"0\n"_s << 0 << QString();
        QTest::newRow("arguments passed verbatim, no shell") << echo << 0755 << QStringList {u"a b"_s, QString(), u"$HOME"_s, u"*"_s, u"-74.0"_s} << 5000 << u"[a b]\n[]\n[$HOME]\n[*]\n[-74.0]\n5\n"_s << 0 << QString();
        QTest::newRow("a megabyte of output does not stall") << QByteArray("head -c 1100000 /dev/zero | tr '\\0' x\n") << 0755 << QStringList() << 20000 << QString(1100000, u'x') << 0 << QString();
        QTest::newRow("hung tool killed at the deadline, its helper too") << helper + "echo started\nexec sleep 60\n" << 0755 << QStringList() << 300 << absent << -1 << u"❌ tool did not finish within 0.3 s and was stopped"_s;
        QTest::newRow("a tool that ends before its helper still returns") << QByteArray("echo done\n(sleep 2; echo late) &\nexit 4\n") << 0755 << QStringList() << 20000 << u"done\n"_s << 4 << QString();
        // clang-format on
    }

    void runTool()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, mode);
        QFETCH(QStringList, arguments);
        QFETCH(int, deadlineMs);
        QFETCH(QString, console);
        const QString path = toolsDir_ + u"/tool"_s;
        QFile::remove(path);
        if (!script.isEmpty()) {
            if (!script.startsWith('\x7f'))
                script.prepend("#!/bin/sh\n");
            writeScript(path, script);
            QVERIFY(chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0);
        }
        const qsizetype childrenBefore = ProcessCensus::children().size();
        const int descriptorsBefore = ProcessCensus::openDescriptors();
        ConsoleCapture capture;

        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path()), std::chrono::milliseconds(deadlineMs))
                .runTool(u"tool"_s, arguments);

        QTEST(result.output.value_or(u"<absent>"_s), "output");
        QTEST(result.exitStatus, "status");
        QCOMPARE(result.timedOut, deadlineMs < 1000);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), console.isEmpty() ? 0 : 1);
        if (!console.isEmpty())
            QVERIFY2(console.endsWith(u'*') ? lines[0].startsWith(console.chopped(1))
                                            : lines[0] == console,
                     qPrintable(lines[0]));
        if (!script.isEmpty())
            QCOMPARE(QFileInfo(path).permissions() & 0x7777, QFile::Permissions(0x7755));
        QCOMPARE(ProcessCensus::children().size(), childrenBefore);
        QCOMPARE(ProcessCensus::openDescriptors(), descriptorsBefore);
        QFile pidFile(toolsDir_ + u"/helper.pid"_s);
        if (pidFile.open(QIODevice::ReadOnly)) {
            const pid_t helper = pidFile.readAll().trimmed().toInt();
            QVERIFY(helper > 0);
            QTRY_VERIFY(!ProcessCensus::isRunning(helper));
            pidFile.remove();
        }
    }

    // A phone named in the user's environment would stand in for the one a command leaves
    // unnamed: the tools never see one; our own additions they do.
    void noPhoneNamedFromOutside()
    {
        for (const char *name : {"udid", "GO_IOS_UDID", "PYMOBILEDEVICE3_UDID", "PYTHONUNBUFFERED"})
            qputenv(name, "00008030-OUTSIDE");
        writeScript(toolsDir_ + u"/tool"_s,
                    "#!/bin/sh\necho \"[$udid][$GO_IOS_UDID][$PYMOBILEDEVICE3_UDID]"
                    "[$PYTHONUNBUFFERED][${HOME:+home}]\"\n");
        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path()), 5s, AppEnvironment().childEnvironment())
                .runTool(u"tool"_s, {});
        for (const char *name : {"udid", "GO_IOS_UDID", "PYMOBILEDEVICE3_UDID", "PYTHONUNBUFFERED"})
            qunsetenv(name);
        QCOMPARE(result.output.value_or(QString()), u"[][][][1][home]\n"_s);
    }

    void architectureChoosesTheFolder_data()
    {
        QTest::addColumn<QString>("architecture");
        QTest::newRow("Arm") << u"silicon"_s;
        QTest::newRow("x86-64") << u"intel"_s;
    }

    void architectureChoosesTheFolder()
    {
        QFETCH(QString, architecture);
        for (const QString &family : {u"silicon"_s, u"intel"_s}) {
            const QString dir = root_.path() + u"/halvard_scripts/"_s + family;
            QDir().mkpath(dir);
            writeScript(dir + u"/which"_s, "#!/bin/sh\necho " + family.toUtf8() + "\n");
        }
        const ToolRunResult result =
            ToolRunner(ToolLocator(root_.path(), architecture)).runTool(u"which"_s, {});
        QCOMPARE(result.output.value_or(QString()), architecture + u'\n');
    }

    // The start-up shell is run by path: a system file must keep its permissions.
    void runExecutableDoesNotTouchPermissions()
    {
        const QString path = writeScript(root_.path() + u"/plain"_s, "#!/bin/sh\necho x\n");
        QVERIFY(chmod(QFile::encodeName(path).constData(), 0700) == 0);
        const ToolRunResult result = ToolRunner().runExecutable(path, {});
        QCOMPARE(result.output.value_or(QString()), u"x\n"_s);
        QCOMPARE(QFileInfo(path).permissions() & 0x7777, QFile::Permissions(0x7700));
    }

private:
    QTemporaryDir root_;
    QString toolsDir_;
};

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
