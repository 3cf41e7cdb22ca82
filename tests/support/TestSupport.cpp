#include "TestSupport.h"

#include "platform/Console.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

Timings shortTimings()
{
    using ms = std::chrono::milliseconds;
    Timings t;
    t.monitorInterval = ms(60);
    t.notFoundPause = ms(300);
    t.simulateWait = ms(400);
    t.setLocationWait = ms(300);
    t.tunnelWindow = ms(4000);
    t.tunnelProbePause = ms(50);
    t.probeRequestTimeout = ms(1000);
    t.probeWait = ms(1500);
    t.toolDeadline = ms(5000);
    t.startupShellDeadline = ms(5000);
    t.terminateGrace = ms(1000);
    return t;
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

SimDeviceKit::SimDeviceKit()
{
    if (!root_.isValid())
        return;
    // Tests may run as root, where the real tools would always have administrator rights: the
    // kit's tools get them only through the stand-in prompt (kPromptRunsScript).
    qputenv("SIMDEVICE_UNPRIVILEGED", "1");
    QDir().mkpath(toolsDirectory());
    QDir().mkpath(temporaryFolder());
    QProcess install;
    install.start(QStringLiteral(SIMDEVICE_BINARY),
                  {QStringLiteral("install"), toolsDirectory(), QStringLiteral("ideviceinfo"),
                   QStringLiteral("idevice_id"), QStringLiteral("idevicesetlocation"),
                   QStringLiteral("pymobiledevice3"), QStringLiteral("idevicepair")});
    valid_ = install.waitForFinished(10000) && install.exitCode() == 0;
    tunnelPort_ = freeLoopbackPort();
    agentPort_ = freeLoopbackPort();
    valid_ = valid_ && control({QStringLiteral("detach")})
        && control({QStringLiteral("tunnel-port"), QString::number(tunnelPort_)})
        && control({QStringLiteral("agent-port"), QString::number(agentPort_)});
}

SimDeviceKit::~SimDeviceKit()
{
    if (valid_) {
        stopTunnel();
        control({QStringLiteral("stop-agent")});
    }
}

QString SimDeviceKit::toolsDirectory() const
{
    return root_.path() + QStringLiteral("/halvard_scripts/") + platform::architectureFolderName();
}

AppEnvironment SimDeviceKit::environmentAt(const QString &resourceFolder, quint16 tunnelPort,
                                           quint16 agentPort, const Timings &timings)
{
    const QString tools =
        resourceFolder + QStringLiteral("/halvard_scripts/") + platform::architectureFolderName();
    const QString state = tools + QStringLiteral("/simdevice-state");
    AppEnvironment environment;
    environment.tools = ToolLocator(resourceFolder);
    environment.tunnelPort = tunnelPort;
    environment.temporaryFolder = resourceFolder + QStringLiteral("/tmp/");
    environment.geolocationUrl = QUrl(QStringLiteral("http://127.0.0.1:9/json/"));
    environment.tileUrlTemplate = QStringLiteral("http://127.0.0.1:9/{z}/{x}/{y}.png");
    environment.tileCacheFolder = resourceFolder + QStringLiteral("/tiles");
    environment.geocodingUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    environment.goIosAgentPort = agentPort;
    environment.dataFolder = resourceFolder + QStringLiteral("/data");
    environment.usbmuxdSocket = state; // "running"
    environment.usbDevicesFolder = state + QStringLiteral("/usb");
    environment.searchSystemPath = false;
    environment.timings = timings;
    return environment;
}

bool SimDeviceKit::addTool(const QString &name) const
{
    QFile::remove(toolPath(name));
    return QFile::copy(QStringLiteral(SIMDEVICE_BINARY), toolPath(name));
}

bool SimDeviceKit::control(const QStringList &arguments) const
{
    QProcess process;
    process.start(QStringLiteral(SIMDEVICE_BINARY),
                  QStringList {QStringLiteral("--state"), stateFolder()} + arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

bool SimDeviceKit::attach(const QString &iosVersion, const QStringList &moreOptions) const
{
    return control(QStringList {QStringLiteral("attach"), QStringLiteral("--ios"), iosVersion}
                   + moreOptions);
}

bool SimDeviceKit::fault(const QString &selector, const QString &kind, int parameter) const
{
    return control({QStringLiteral("fault"), selector, kind, QString::number(parameter)});
}

QStringList SimDeviceKit::journal() const
{
    QFile file(stateFolder() + QStringLiteral("/journal"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

QStringList SimDeviceKit::commands() const
{
    QStringList result;
    for (const QString &line : journal()) {
        if (!line.startsWith(u'#'))
            result.append(line);
    }
    return result;
}

QString SimDeviceKit::controlOutput(const QStringList &arguments) const
{
    QProcess process;
    process.start(QStringLiteral(SIMDEVICE_BINARY),
                  QStringList {QStringLiteral("--state"), stateFolder()} + arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

QMap<QString, QString> SimDeviceKit::device(const QString &udid) const
{
    QMap<QString, QString> values;
    const QStringList options =
        udid.isEmpty() ? QStringList() : QStringList {QStringLiteral("--udid"), udid};
    for (const QString &line :
         controlOutput(QStringList {QStringLiteral("show")} + options).split(u'\n')) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

QList<SimDeviceKit::TrackPoint> SimDeviceKit::track(const QString &udid) const
{
    QList<TrackPoint> points;
    const QStringList options =
        udid.isEmpty() ? QStringList() : QStringList {QStringLiteral("--udid"), udid};
    for (const QString &line : controlOutput(QStringList {QStringLiteral("track")} + options)
                                   .split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        TrackPoint point;
        point.ms = words.value(0).toLongLong();
        point.cleared = words.value(1) == QStringLiteral("cleared");
        point.latitude = words.value(1).toDouble();
        point.longitude = words.value(2).toDouble();
        points.append(point);
    }
    return points;
}

void SimDeviceKit::setTimeScale(double scale)
{
    qputenv("SIMDEVICE_TIME_SCALE", QByteArray::number(scale));
}

bool SimDeviceKit::setStockSetLocation(bool stock) const
{
    return control({QStringLiteral("setlocation-mode"),
                    stock ? QStringLiteral("stock") : QStringLiteral("hold")});
}

void SimDeviceKit::removeTool(const QString &name) const
{
    QFile::remove(toolPath(name));
}

void SimDeviceKit::breakTool(const QString &name) const
{
    QFile file(toolPath(name));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("\x7f"
               "ELF not really\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

namespace {

std::optional<ProcessCensus::Process> readStat(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = file.readAll();
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < 0)
        return std::nullopt;
    const QList<QByteArray> rest = text.mid(close + 2).split(' ');
    if (rest.size() < 2)
        return std::nullopt;
    ProcessCensus::Process process;
    process.pid = pid;
    process.name = QString::fromUtf8(text.mid(open + 1, close - open - 1));
    process.state = rest[0].isEmpty() ? '?' : rest[0][0];
    process.parent = rest[1].toInt();
    return process;
}

} // namespace

QList<ProcessCensus::Process> ProcessCensus::all()
{
    QList<Process> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const int pid = entry.toInt(&ok);
        if (!ok)
            continue;
        if (auto process = readStat(pid))
            result.append(*process);
    }
    return result;
}

QList<pid_t> ProcessCensus::descendantsOf(pid_t root)
{
    const QList<Process> processes = all();
    QList<pid_t> found {root};
    for (qsizetype i = 0; i < found.size(); ++i) {
        for (const Process &process : processes) {
            if (process.parent == found[i])
                found.append(process.pid);
        }
    }
    found.removeFirst();
    return found;
}

QList<pid_t> ProcessCensus::children()
{
    QList<pid_t> result;
    for (const Process &stat : all()) {
        if (stat.parent == getpid())
            result.append(stat.pid);
    }
    return result;
}

int ProcessCensus::zombieChildren()
{
    int count = 0;
    for (const Process &stat : all()) {
        if (stat.parent == getpid() && stat.state == 'Z')
            ++count;
    }
    return count;
}

int ProcessCensus::openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

bool ProcessCensus::isRunning(pid_t pid)
{
    const auto stat = readStat(pid);
    return stat && stat->state != 'Z' && stat->state != 'X';
}

QList<pid_t> ProcessCensus::processesNamed(const QString &name)
{
    QList<pid_t> result;
    for (const Process &stat : all()) {
        if (stat.name == name && stat.state != 'Z')
            result.append(stat.pid);
    }
    return result;
}

ConsoleCapture::ConsoleCapture()
    : first_(ConsoleLog::instance().lineCount())
{
}

QStringList ConsoleCapture::lines() const
{
    return ConsoleLog::instance().linesSince(first_);
}

QString writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(body);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

QuietStandardOutput::QuietStandardOutput()
    : saved_(dup(STDOUT_FILENO))
{
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
}

QuietStandardOutput::~QuietStandardOutput()
{
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}
