// The real device tools check the program's words, with no phone in reach: every command line the
// program builds is given to the real go-ios and libimobiledevice binaries, which must not refuse
// it as a usage error; every text a failure recogniser looks for is in the binary or library that
// prints it. pymobiledevice3 cannot be installed here: its command lines and texts are checked
// against a copy of its help and messages recorded from its source (tests/data).
#include "TestSupport.h"
#include "tools/DeviceTools.h"
#include "tools/FailureCause.h"
#include "tools/GoIos.h"
#include "tools/PyMobileDevice3.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;
using failure::Fix;
using failure::Origin;
using pymobiledevice3::Reach;

namespace {

const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);

QString goIos()
{
    const QFileInfo binary(QStringLiteral(PINDRIFT_GO_IOS));
    return binary.isExecutable() ? binary.filePath() : QString();
}

QString libimobiledeviceTool(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

// The library the tools link, where Debian, other Linux systems or Homebrew keep it.
QString libimobiledeviceLibrary()
{
    QStringList folders {u"/usr/lib"_s, u"/usr/lib64"_s, u"/usr/local/lib"_s,
                         u"/opt/homebrew/lib"_s};
    for (const QString &multiarch : QDir(u"/usr/lib"_s).entryList({u"*-linux-gnu*"_s}, QDir::Dirs))
        folders << u"/usr/lib/"_s + multiarch;
    for (const QString &folder : folders) {
        const QStringList found = QDir(folder).entryList(
            {u"libimobiledevice-1.0.so*"_s, u"libimobiledevice-1.0*.dylib"_s}, QDir::Files);
        if (!found.isEmpty())
            return folder + u'/' + found.first();
    }
    return {};
}

struct Outcome
{
    bool settled = false; // it ended, or it is go-ios's agent and it serves
    bool usageError = false;
    QString transcript;
};

// Runs a tool pointed at a usbmuxd socket that does not exist: libusbmuxd reads "UNIX:/path", and
// go-ios takes the same value for a TCP address it cannot dial, so no command can reach a phone
// plugged into this machine. go-ios's agent stays; once it says its server started, it has taken
// its command line, and it is ended.
Outcome run(const QString &path, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"GO_IOS_AGENT_HOST", "GO_IOS_AGENT_PORT", "GO_IOS_UDID", "ENABLE_GO_IOS_AGENT"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"USBMUXD_SOCKET_ADDRESS"_s, u"UNIX:/nonexistent-pindrift-socket"_s);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(path, arguments);
    QByteArray out;
    QByteArray err;
    Outcome outcome;
    outcome.settled = QTest::qWaitFor(
        [&] {
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
            return process.state() == QProcess::NotRunning || err.contains("Tunnel server started");
        },
        20000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    } else if (QFileInfo(path).fileName() == goios::kTool) {
        // docopt refuses before go-ios sets up its log: the usage text alone, no JSON line.
        outcome.usageError =
            process.exitCode() == 1 && err.startsWith("Usage:") && !err.contains("{\"time\":");
    } else {
        // getopt's refusal, or the tool's own usage text.
        const QByteArray all = out + err;
        const QByteArray usage = "Usage: " + QFileInfo(path).fileName().toUtf8();
        outcome.usageError = all.contains(usage) || all.contains("unrecognized option")
            || all.contains("invalid option") || all.contains("option requires an argument");
    }
    outcome.transcript = path + u' ' + arguments.join(u' ') + u"\nexit "_s
        + QString::number(process.exitCode()) + u'\n' + QString::fromUtf8(out + err).left(2000);
    return outcome;
}

// How many values an option takes, from its line in a recorded help ("  -d, --daemonize  …",
// "  --rsd HOST PORT  …", "  --usb / --no-usb  …"); absent when the help has no such option.
std::optional<int> optionValues(const QString &help, const QString &name)
{
    static const QRegularExpression metavar(u"^([A-Z]+|\\[[a-z|]+\\])$"_s);
    for (const QString &line : help.split(u'\n')) {
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        qsizetype at = 0;
        bool named = false;
        for (; at < words.size() && (words[at].startsWith(u'-') || words[at] == u"/"_s); ++at)
            named = named || words[at].chopped(words[at].endsWith(u',') ? 1 : 0) == name;
        if (!named)
            continue;
        int values = 0;
        for (; at < words.size() && metavar.match(words[at]).hasMatch(); ++at)
            ++values;
        return values;
    }
    return std::nullopt;
}

// What pymobiledevice3 would refuse in a command line, judged by the recorded help of its
// command: an option it lacks, a value missing, a wrong number of arguments. Empty when it fits.
QString misfit(const QStringList &arguments, const QMap<QString, QString> &recorded)
{
    qsizetype at = 0;
    while (at < arguments.size() && !arguments[at].startsWith(u'-'))
        ++at;
    const QString command = arguments.first(at).join(u' ');
    const QString help = recorded.value(u"pymobiledevice3 "_s + command + u" --help"_s);
    const QString usage = u"Usage: pymobiledevice3 "_s + command + u" [OPTIONS]"_s;
    if (!help.startsWith(usage))
        return u"no recorded help for "_s + command;
    const qsizetype wanted =
        help.section(u'\n', 0, 0).mid(usage.size()).split(u' ', Qt::SkipEmptyParts).size();
    qsizetype given = 0;
    bool optionsEnded = false;
    for (; at < arguments.size(); ++at) {
        const QString &word = arguments[at];
        if (optionsEnded || !word.startsWith(u'-')) {
            ++given;
        } else if (word == u"--"_s) {
            optionsEnded = true;
        } else if (const std::optional<int> values = optionValues(help, word.section(u'=', 0, 0));
                   !values) {
            return u"no option "_s + word;
        } else if (!word.contains(u'=')) {
            at += *values;
            if (at >= arguments.size())
                return word + u" lacks its value"_s;
        }
    }
    if (given != wanted)
        return QStringLiteral("%1 arguments where the usage has %2").arg(given).arg(wanted);
    return {};
}

} // namespace

class TestRealTools : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch_;
    ToolLocator realTools_ {scratch_.filePath(u"real"_s), u"intel"_s};
    ToolLocator pythonTools_ {scratch_.filePath(u"python"_s), u"intel"_s};
    QMap<QString, QString> recorded_; // the recorded copy: block title → its text
    QMap<QString, QString> sources_; // block title → its citation lines
    QHash<QString, QByteArray> bytes_;

    QString pairRecords() const { return scratch_.filePath(u"pair-records"_s); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(scratch_.isValid());
        QVERIFY(QDir().mkpath(pairRecords()));
        QVERIFY(QDir().mkpath(realTools_.toolsDirectory()));
        QVERIFY(QDir().mkpath(pythonTools_.toolsDirectory()));
        // Copies, not links: the locator makes every tool it resolves executable, which must
        // never touch a system binary.
        for (const auto &[name, original] :
             {std::pair {goios::kTool, goIos()},
              std::pair {u"idevicepair"_s, libimobiledeviceTool(u"idevicepair"_s)}}) {
            if (!original.isEmpty())
                QVERIFY(QFile::copy(original, realTools_.toolsDirectory() + u'/' + name));
        }
        // pymobiledevice3's fixes are built when it is in the folder and go-ios is not.
        QFile python(pythonTools_.toolsDirectory() + u"/pymobiledevice3"_s);
        QVERIFY(python.open(QIODevice::WriteOnly));

        QFile copy(QStringLiteral(PINDRIFT_SOURCE_DIR "/tests/data/pymobiledevice3-10.10.3.txt"));
        QVERIFY(copy.open(QIODevice::ReadOnly | QIODevice::Text));
        QString title;
        for (const QString &line : QString::fromUtf8(copy.readAll()).split(u'\n')) {
            if (line.startsWith(u"=== "_s))
                title = line.mid(4);
            else if (!title.isEmpty())
                (line.startsWith(u'#') ? sources_ : recorded_)[title] += line + u'\n';
        }
    }

    void cleanup() { QTRY_VERIFY(ProcessCensus::children().isEmpty()); }

    void commandLinesAreTaken_data()
    {
        QTest::addColumn<QString>("tool"); // empty when it is not installed
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("usageError");
        const QString ios = goIos();
        const goios::Agent agent {u"127.0.0.1"_s, freeLoopbackPort()};
        const goios::Agent kernelAgent {u"127.0.0.1"_s, freeLoopbackPort()};
        const QString info = libimobiledeviceTool(devicetools::kIdeviceinfo);
        const QString list = libimobiledeviceTool(devicetools::kIdeviceId);
        const QString set = libimobiledeviceTool(devicetools::kIdevicesetlocation);
        const auto row = [](const char *name, const QString &tool, const QStringList &arguments,
                            bool usageError = false) {
            QTest::newRow(name) << tool << arguments << usageError;
        };
        // Root or not, the kernel agent is no usage error: it runs, or exits 1 asking for root.
        row("ios tunnel start", ios, goios::tunnelStartArguments(pairRecords(), agent));
        row("ios tunnel start, kernel", ios,
            goios::kernelTunnelStartArguments(pairRecords(), kernelAgent));
        // South and west: both coordinates negative, never to be read as options.
        row("ios setlocation", ios, goios::setLocationArguments(kUdid, -33.8688, -70.6693, agent));
        row("ios resetlocation", ios, goios::resetLocationArguments(kUdid, agent));
        // go-ios's image and Developer Mode command lines are built only by the fixes.
        for (const Fix fix : {Fix::PairAgain, Fix::MountImage, Fix::RevealDeveloperMode}) {
            for (const QString &udid : {kUdid, QString()}) {
                const std::optional<failure::FixCommand> command = failure::fixCommand(
                    fix, realTools_, udid, agent, scratch_.filePath(u"devimages"_s));
                QTest::addRow("fix %s%s", qPrintable(failure::fixLabel(fix)),
                              udid.isEmpty() ? ", no UDID" : "")
                    << (command ? command->path : QString())
                    << (command ? command->arguments : QStringList()) << false;
            }
        }
        // Each with the phone named (several plugged in) and without (none listed).
        for (const QString &udid : {QString(), kUdid}) {
            const char *named = udid.isEmpty() ? "" : " -u";
            QTest::addRow("ideviceinfo%s", named)
                << info << devicetools::deviceInfoArguments(udid) << false;
            for (const devicetools::DeviceDetail &detail : devicetools::kDeviceDetails)
                QTest::addRow("ideviceinfo%s %s", named, qPrintable(detail.key))
                    << info << devicetools::deviceValueArguments(detail.key, udid) << false;
            QTest::addRow("idevicesetlocation%s", named)
                << set << devicetools::setLocationArguments(-33.8688, -70.6693, udid) << false;
            QTest::addRow("idevicesetlocation%s reset", named)
                << set << devicetools::resetLocationArguments(udid) << false;
        }
        row("idevice_id", list, devicetools::listDevicesArguments());
        // Wrong on purpose: the check must tell these from the lines above.
        row("wrong: ios, an unknown option", ios,
            goios::resetLocationArguments(kUdid, agent) << u"--no-such-option"_s, true);
        row("wrong: ios tunnel stopagent with a port", ios,
            {u"tunnel"_s, u"stopagent"_s, goios::agentArguments(agent).last()}, true);
        row("wrong: ideviceinfo -k without a key", info, {u"-k"_s}, true);
        row("wrong: idevice_id, an unknown option", list,
            devicetools::listDevicesArguments() << u"--no-such-option"_s, true);
        row("wrong: idevicesetlocation without --", set, {u"-33.8688"_s, u"151.2093"_s}, true);
        row("wrong: idevicesetlocation, one value", set, {u"--"_s, u"51.5"_s}, true);
        row("wrong: idevicepair without a command", libimobiledeviceTool(u"idevicepair"_s),
            {u"-u"_s, kUdid}, true);
    }

    void commandLinesAreTaken()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, arguments);
        QFETCH(bool, usageError);
        if (tool.isEmpty())
            QSKIP("the real tool is not here (go-ios: scripts/fetch-go-ios.sh; libimobiledevice: "
                  "libimobiledevice-utils)");
        const Outcome outcome = run(tool, arguments);
        QVERIFY2(outcome.settled, qPrintable(outcome.transcript));
        QVERIFY2(outcome.usageError == usageError, qPrintable(outcome.transcript));
    }

    void wordsAreTheToolsOwn_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("files"); // an empty path where one is not installed
        QTest::addColumn<bool>("found");
        const QString library = libimobiledeviceLibrary();
        QStringList libimobiledevice {library};
        for (const QString &tool : {devicetools::kIdeviceinfo, devicetools::kIdeviceId,
                                    devicetools::kIdevicesetlocation, u"idevicepair"_s})
            libimobiledevice << libimobiledeviceTool(tool);
        for (const failure::Recogniser &r : failure::recognisers()) {
            // The phone's own error names: the library maps each of them by name.
            const QStringList files = r.origin == Origin::GoIos ? QStringList {goIos()}
                : r.origin == Origin::LibImobiledevice          ? libimobiledevice
                : r.origin == Origin::Device                    ? QStringList {library}
                                                                : QStringList();
            if (!files.isEmpty())
                QTest::addRow("%s", r.text)
                    << QByteArray(r.evidence ? r.evidence : r.text) << files << true;
        }
        // Near misses, which the check must tell from the tools' words.
        QTest::newRow("not libimobiledevice's: Invalid host ID")
            << "Invalid host ID"_ba << libimobiledevice << false;
        QTest::newRow("not go-ios's: userspace TUN not supported")
            << "userspace TUN not supported"_ba << QStringList {goIos()} << false;
    }

    void wordsAreTheToolsOwn()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, files);
        QFETCH(bool, found);
        if (files.contains(QString()))
            QSKIP("the real tool is not here (go-ios: scripts/fetch-go-ios.sh; libimobiledevice: "
                  "libimobiledevice-utils)");
        // The file's bytes, not `strings`: Go's strings are not NUL-terminated.
        bool present = false;
        for (const QString &path : files) {
            if (!bytes_.contains(path)) {
                QFile file(path);
                QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
                bytes_.insert(path, file.readAll());
            }
            present = present || bytes_.value(path).contains(text);
        }
        QVERIFY2(present == found, qPrintable(files.join(u", "_s)));
    }

    void pymobiledevice3Words_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("recorded");
        for (const failure::Recogniser &r : failure::recognisers()) {
            if (r.origin == Origin::PyMobileDevice3)
                QTest::addRow("%s", r.text)
                    << QString::fromUtf8(r.evidence ? r.evidence : r.text) << true;
        }
        QTest::newRow("holding line") << QString::fromUtf8(pymobiledevice3::kHoldingLine) << true;
        QTest::newRow("point set line")
            << QString::fromUtf8(pymobiledevice3::kPointSetLine) << true;
        QTest::newRow("near miss") << u"Unable to connect to tunneld"_s << false;
    }

    void pymobiledevice3Words()
    {
        QFETCH(QString, text);
        QFETCH(bool, recorded);
        bool found = false;
        for (auto block = recorded_.cbegin(); block != recorded_.cend(); ++block)
            found = found || (block.key().startsWith(u"messages"_s) && block->contains(text));
        QCOMPARE(found, recorded);
    }

    void pymobiledevice3CommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("fits");
        const QString gpx = scratch_.filePath(u"route.gpx"_s);
        for (const auto &[reach, name] :
             {std::pair {Reach::Tunneld, "tunneld"}, std::pair {Reach::Userspace, "userspace"}}) {
            QTest::addRow("set, %s", name)
                << pymobiledevice3::setArguments(reach, kUdid, -33.8688, -151.2093) << true;
            QTest::addRow("clear, %s", name)
                << pymobiledevice3::clearArguments(reach, kUdid) << true;
            QTest::addRow("play, %s", name)
                << pymobiledevice3::playArguments(reach, kUdid, gpx) << true;
        }
        QTest::newRow("remote tunneld") << pymobiledevice3::tunneldArguments() << true;
        for (const Fix fix : {Fix::MountImage, Fix::RevealDeveloperMode}) {
            for (const QString &udid : {kUdid, QString()}) {
                const std::optional<failure::FixCommand> command =
                    failure::fixCommand(fix, pythonTools_, udid, {}, {});
                QTest::addRow("fix %s%s", qPrintable(failure::fixLabel(fix)),
                              udid.isEmpty() ? ", no UDID" : "")
                    << (command ? command->arguments : QStringList {u"(none)"_s}) << true;
            }
        }
        // Wrong on purpose: the noise as an argument (as the older, pre-17 play takes it), and
        // an option tunneld lacks.
        QTest::newRow("wrong: play with the noise as an argument")
            << (pymobiledevice3::playArguments(Reach::Userspace, kUdid, gpx) << u"500"_s) << false;
        QTest::newRow("wrong: tunneld --daemon")
            << QStringList {u"remote"_s, u"tunneld"_s, u"--daemon"_s} << false;
    }

    void pymobiledevice3CommandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, fits);
        const QString problem = misfit(arguments, recorded_);
        QVERIFY2(problem.isEmpty() == fits, qPrintable(arguments.join(u' ') + u": "_s + problem));
    }

    void recordedCopyCitesItsSources()
    {
        static const QRegularExpression citation(u"\\w\\.py:\\d+"_s);
        QVERIFY(recorded_.size() >= 10);
        for (auto block = recorded_.cbegin(); block != recorded_.cend(); ++block)
            QVERIFY2(sources_.value(block.key()).contains(citation), qPrintable(block.key()));
    }
};

QTEST_GUILESS_MAIN(TestRealTools)
#include "tst_realtools.moc"
