// Bringing up the tunnel daemon, against the simulated device kit and fake password prompts.
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "spoof/TunnelService.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <future>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;

enum class Server { None, Kit, KitHttpError, Silent, NotHttp, Trickle, TrickleTooLong };
enum Setup {
    Plain = 0,
    PreStarted = 1,
    ToolMissing = 2,
    NoTemporaryFolder = 4,
    NoPrompt = 8,
    DaemonSlow = 16
};

// Reads an AppleScript string literal's body back; absent when a quote ends it early.
std::optional<QString> appleScriptUnescaped(const QString &body)
{
    QString text;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] == u'"')
            return std::nullopt;
        if (body[i] == u'\\' && ++i == body.size())
            return std::nullopt;
        text += body[i];
    }
    return text;
}

struct RestoreWorkingFolder
{
    QString path = QDir::currentPath();
    ~RestoreWorkingFolder() { QDir::setCurrent(path); }
};

// Creates the file on the way out, so a prompt waiting for it never outlives a failed test.
struct Gate
{
    QString path;
    ~Gate() { QFile(path).open(QIODevice::WriteOnly); }
};

} // namespace

Q_DECLARE_METATYPE(Server)

class TestTunnel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->isValid());
        environment_ = kit_->environment();
        environment_.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), kPromptRunsScript)};
    }

    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        kit_->stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(*kit_), kPatience);
        kit_.reset();
    }

    void reachability_data()
    {
        QTest::addColumn<Server>("server");
        QTest::addColumn<bool>("reachable");
        QTest::newRow("nothing listens") << Server::None << false;
        QTest::newRow("daemon answers") << Server::Kit << true;
        QTest::newRow("HTTP error status counts") << Server::KitHttpError << true;
        QTest::newRow("listener that never answers") << Server::Silent << false;
        QTest::newRow("answer that is not HTTP") << Server::NotHttp << false;
        // With the kit's timings: 1.0 s request time-out (longest silence), 1.5 s longest wait.
        QTest::newRow("slow answer, never silent for a whole time-out") << Server::Trickle << true;
        QTest::newRow("slow answer beyond the longest wait") << Server::TrickleTooLong << false;
    }

    void reachability()
    {
        QFETCH(Server, server);
        QTcpServer listener;
        if (server == Server::Kit || server == Server::KitHttpError) {
            if (server == Server::KitHttpError)
                QVERIFY(kit_->fault(u"pymobiledevice3:tunneld"_s, u"http-error"_s));
            QVERIFY(startKitTunnel(*kit_));
            QTRY_VERIFY_WITH_TIMEOUT(portListening(kit_->tunnelPort()), kPatience);
        } else if (server != Server::None) {
            QVERIFY(listener.listen(QHostAddress::LocalHost, kit_->tunnelPort()));
            // Each piece of the answer: when it is sent, in ms after the connection.
            QList<std::pair<int, QByteArray>> pieces;
            if (server == Server::NotHttp)
                pieces = {{0, "SSH-2.0-OpenSSH_9.2\r\n"}};
            if (server == Server::Trickle)
                pieces = {{700, "H"}, {1300, "TTP/1.1 200 OK\r\n\r\n"}};
            if (server == Server::TrickleTooLong)
                pieces = {{600, "H"}, {1200, "T"}, {1800, "TP/1.1 200 OK\r\n\r\n"}};
            connect(&listener, &QTcpServer::newConnection, &listener, [&listener, pieces] {
                while (QTcpSocket *client = listener.nextPendingConnection()) {
                    // Not a structured binding: clang 14 cannot capture one.
                    for (const auto &piece : pieces)
                        QTimer::singleShot(piece.first, client, [client, bytes = piece.second] {
                            client->write(bytes);
                        });
                }
            });
        }
        // Probed off the GUI thread, as the program does, while this thread serves.
        const TunnelService service(environment_);
        auto probe =
            std::async(std::launch::async, [service] { return service.isTunnelReachable(); });
        QTRY_VERIFY_WITH_TIMEOUT(
            probe.wait_for(std::chrono::seconds(0)) == std::future_status::ready, kPatience);
        QTEST(probe.get(), "reachable");
    }

    void ensureTunnel_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<QString>("line"); // the console's one line: "{log}" is the log path,
                                           // "*" ends a prefix

        const auto row = [](const char *name, int setup, const QByteArray &prompt, bool result,
                            int prompts, const char *line) {
            QTest::newRow(name) << setup << prompt << result << prompts << QString::fromUtf8(line);
        };
        const QByteArray runs = kPromptRunsScript;
        // clang-format off
        row("already answering: no script, no prompt", PreStarted, runs, true, 0, "");
        row("brought up through the prompt", Plain, runs, true, 1, "");
        row("daemon slow to answer", DaemonSlow, runs, true, 1, "");
        row("prompt cancelled", Plain, "echo 'Request dismissed' >&2\nexit 126\n", false, 1, "❌ Failed to start tunneld (password prompt may have been cancelled): Request dismissed\n");
        row("prompt output not UTF-8", Plain, "printf 'bad \\377\\n'\nexit 1\n", false, 1, "❌ Failed to start tunneld (password prompt may have been cancelled): ");
        row("never answering", Plain, "exit 0\n", false, 1, "❌ tunneld did not become reachable in time — check {log}");
        row("tool missing", ToolMissing, runs, false, 0, "❌ pymobiledevice3 not found in bundled tools");
        row("script cannot be written", NoTemporaryFolder, runs, false, 0, "❌ Could not write tunneld helper script: No such file or directory");
        row("prompt cannot be launched", NoPrompt, runs, false, 0, "❌ Error requesting admin privileges for tunneld: *");
        // clang-format on
    }

    void ensureTunnel()
    {
        QFETCH(int, setup);
        QFETCH(QByteArray, prompt);
        QFETCH(QString, line);

        environment_.adminPromptCommand = {writeFakePrompt(kit_->resourceFolder(), prompt)};
        if (setup & PreStarted)
            QVERIFY(startKitTunnel(*kit_));
        if (setup & ToolMissing)
            kit_->removeTool(u"pymobiledevice3"_s);
        if (setup & NoTemporaryFolder)
            environment_.temporaryFolder = kit_->temporaryFolder() + u"missing/"_s;
        if (setup & NoPrompt)
            environment_.adminPromptCommand = {kit_->resourceFolder() + u"/none"_s};
        if (setup & DaemonSlow)
            QVERIFY(kit_->fault(u"pymobiledevice3:tunneld"_s, u"slow"_s, 800));
        const TunnelService service(environment_);
        if (setup & PreStarted)
            QTRY_VERIFY_WITH_TIMEOUT(service.isTunnelReachable(), kPatience);

        ConsoleCapture capture;
        QTEST(service.ensureTunnel(), "result");

        QTEST(promptCount(kit_->resourceFolder()), "prompts");
        const QStringList lines = capture.lines();
        line.replace(u"{log}"_s, service.logPath());
        QCOMPARE(lines.size(), line.isEmpty() ? 0 : 1);
        if (!line.isEmpty())
            QVERIFY2(line.endsWith(u'*') ? lines[0].startsWith(line.chopped(1)) : lines[0] == line,
                     qPrintable(lines[0]));
        QFile script(service.scriptPath());
        const bool written = !(setup & (PreStarted | ToolMissing | NoTemporaryFolder));
        QCOMPARE(script.exists(), written);
        if (written) {
            QVERIFY(script.open(QIODevice::ReadOnly));
            const QString expected = u"#!"_s + platform::shellPath() + u"\n'"_s
                + kit_->toolPath(u"pymobiledevice3"_s) + u"' remote tunneld -d > '"_s
                + service.logPath() + u"' 2>&1"_s;
            QCOMPARE(QString::fromUtf8(script.readAll()), expected);
            QCOMPARE(int(script.permissions() & 0x0777), 0x0755);
            // Nothing but the script and the log is left in the folder.
            QDir folder(kit_->temporaryFolder());
            for (const QString &name : folder.entryList(QDir::Files))
                QVERIFY2(name == tunnel::kScriptName || name == tunnel::kLogName, qPrintable(name));
        }
    }

    // A failed step of writing the script leaves neither the script nor a temporary file.
    void refusedPermissionsLeaveNoScript()
    {
        const QString path = kit_->temporaryFolder() + tunnel::kScriptName;
        const tunnel::SetMode refuse = [](int, mode_t) {
            errno = EPERM;
            return -1;
        };
        QCOMPARE(tunnel::writeExecutableAtomically(path, "#!/bin/sh\n", refuse),
                 u"Operation not permitted"_s);
        QCOMPARE(QDir(kit_->temporaryFolder()).entryList(QDir::Files), QStringList());
    }

    void pathsWithShellCharacters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("blanks") << u"two  words "_s;
        QTest::newRow("double quote") << u"say \"hi"_s;
        QTest::newRow("dollar sign") << u"$(touch PWNED)$HOME"_s;
        QTest::newRow("backtick") << u"`touch PWNED`"_s;
        QTest::newRow("backslash") << u"back\\slash\\"_s;
        QTest::newRow("single quote") << u"it's '; touch PWNED; '"_s;
        QTest::newRow("all at once") << u" \"$x\\' `touch PWNED` "_s;
    }

    void pathsWithShellCharacters()
    {
        QFETCH(QString, name);
        // The tools and the temporary folder both live under the awkward name. The tool is a
        // stand-in that hands over to the kit's own.
        const QString root = kit_->resourceFolder() + u'/' + name;
        const QString tools = root + u"/halvard_scripts/"_s + platform::architectureFolderName();
        QVERIFY(QDir().mkpath(tools));
        writeScript(tools + u"/pymobiledevice3"_s,
                    "#!/bin/sh\nSIMDEVICE_ADMIN=1 exec '"
                        + QFile::encodeName(kit_->toolPath(u"pymobiledevice3"_s)) + "' \"$@\"\n");
        const QString temporary = root + u"/tmp "_s + name + u'/';
        QVERIFY(QDir().mkpath(temporary));
        environment_.tools = ToolLocator(root);
        environment_.temporaryFolder = temporary;
        environment_.adminPromptCommand = {u"/bin/sh"_s};

        // An injected command would leave its file in the working folder.
        const RestoreWorkingFolder restore;
        QVERIFY(QDir::setCurrent(kit_->resourceFolder()));
        const TunnelService service(environment_);
        const bool up = service.ensureTunnel();

        // The osascript form reads back, through AppleScript and the shell, as the same path.
        const QStringList arguments = tunnel::appleScriptArguments(service.scriptPath());
        QCOMPARE(arguments.size(), 2);
        QCOMPARE(arguments[0], u"-e"_s);
        const QString prefix = u"do shell script \""_s;
        const QString suffix = u"\" with administrator privileges"_s;
        QVERIFY(arguments[1].startsWith(prefix) && arguments[1].endsWith(suffix));
        const auto command = appleScriptUnescaped(
            arguments[1].mid(prefix.size(), arguments[1].size() - prefix.size() - suffix.size()));
        QVERIFY(command);
        QProcess shell;
        shell.start(u"/bin/sh"_s, {u"-c"_s, u"printf %s "_s + *command});
        QVERIFY(shell.waitForFinished(kPatience));

        QVERIFY(up);
        QVERIFY(QFile::exists(temporary + tunnel::kLogName));
        QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()), service.scriptPath());
        QVERIFY(!QFile::exists(kit_->resourceFolder() + u"/PWNED"_s));
    }

    void concurrentCallersPromptOnce()
    {
        // Something on the port that refuses to be the daemon, counting the probes.
        QTcpServer listener;
        int probes = 0;
        QVERIFY(listener.listen(QHostAddress::LocalHost, kit_->tunnelPort()));
        connect(&listener, &QTcpServer::newConnection, &listener, [&] {
            while (QTcpSocket *client = listener.nextPendingConnection()) {
                ++probes;
                client->close();
                client->deleteLater();
            }
        });
        const Gate gate {kit_->resourceFolder() + u"/gate"_s};
        environment_.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(),
                            "while [ ! -e '" + QFile::encodeName(gate.path)
                                + "' ]; do sleep 0.02; done\n" + kPromptRunsScript)};
        const TunnelService service(environment_);

        auto first = std::async(std::launch::async, [service] { return service.ensureTunnel(); });
        QTRY_COMPARE_WITH_TIMEOUT(promptCount(kit_->resourceFolder()), 1, kPatience);
        auto second = std::async(std::launch::async, [service] { return service.ensureTunnel(); });
        QTRY_COMPARE_WITH_TIMEOUT(probes, 2, kPatience);
        listener.close();
        QFile(gate.path).open(QIODevice::WriteOnly);

        QTRY_VERIFY_WITH_TIMEOUT(
            second.wait_for(std::chrono::seconds(0)) == std::future_status::ready, kPatience);
        QVERIFY(first.get());
        QVERIFY(second.get());
        QCOMPARE(promptCount(kit_->resourceFolder()), 1);
        QCOMPARE(kit_->commands().count(u"pymobiledevice3 remote tunneld -d"_s), 1);
    }

private:
    std::unique_ptr<SimDeviceKit> kit_;
    AppEnvironment environment_;
};

QTEST_GUILESS_MAIN(TestTunnel)
#include "tst_tunnel.moc"
