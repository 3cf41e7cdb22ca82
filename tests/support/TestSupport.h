#pragma once

#include "state/AppEnvironment.h"

#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

// Waits short enough for tests, long enough for a loaded two-core machine.
Timings shortTimings();

// The simulated device kit laid out as a tool folder in a temporary directory:
// <root>/halvard_scripts/<arch>/{ideviceinfo,idevice_id,idevicesetlocation,pymobiledevice3,
// idevicepair}, and go-ios's "ios" when asked for.
class SimDeviceKit
{
public:
    SimDeviceKit();
    ~SimDeviceKit();
    SimDeviceKit(const SimDeviceKit &) = delete;
    SimDeviceKit &operator=(const SimDeviceKit &) = delete;

    bool isValid() const { return valid_; }
    QString resourceFolder() const { return root_.path(); }
    QString toolsDirectory() const;
    QString toolPath(const QString &name) const { return toolsDirectory() + u'/' + name; }
    QString stateFolder() const { return toolsDirectory() + QStringLiteral("/simdevice-state"); }
    QString temporaryFolder() const { return root_.path() + QStringLiteral("/tmp/"); }
    quint16 tunnelPort() const { return tunnelPort_; }
    quint16 agentPort() const { return agentPort_; }
    // Adds one of the kit's tools that is not laid out by default ("ios": go-ios).
    bool addTool(const QString &name) const;

    // An environment whose tools, tunnel port and temporary folder are the kit's.
    AppEnvironment environment(const Timings &timings = shortTimings()) const
    {
        return environmentAt(resourceFolder(), tunnelPort_, agentPort_, timings);
    }
    // The same for a kit laid out by another process (a child test process).
    static AppEnvironment environmentAt(const QString &resourceFolder, quint16 tunnelPort,
                                        quint16 agentPort, const Timings &timings = shortTimings());

    bool control(const QStringList &arguments) const;
    bool attach(const QString &iosVersion = QStringLiteral("17.4.1"),
                const QStringList &moreOptions = {}) const;
    bool detach() const { return control({QStringLiteral("detach")}); }
    bool fault(const QString &selector, const QString &kind, int parameter = 0) const;
    bool clearFaults() const { return control({QStringLiteral("clear-faults")}); }
    bool stopTunnel() const { return control({QStringLiteral("stop-tunnel")}); }

    QStringList journal() const;
    // The journal lines that are commands (not the kit's own "# ..." notes).
    QStringList commands() const;
    // A phone (default: the first) as the kit shows it: its facts, its condition, and the
    // location it believes it is at.
    QMap<QString, QString> device(const QString &udid = {}) const;
    QString location(const QString &udid = {}) const
    {
        return device(udid).value(QStringLiteral("location"));
    }
    // What the kit's control command prints.
    QString controlOutput(const QStringList &arguments) const;

    // Each location the device was given or lost, with the wall-clock time (the kit's "track").
    struct TrackPoint
    {
        qint64 ms = 0; // since the Unix epoch
        double latitude = 0;
        double longitude = 0;
        bool cleared = false;
    };
    QList<TrackPoint> track(const QString &udid = {}) const;
    // Divides the waits of a replayed route, for every kit of this test process: tools
    // launched from now on inherit it. It changes the process's environment, which a child
    // being launched on another thread reads at the same moment: call it before any runs.
    static void setTimeScale(double scale);
    // Stock idevicesetlocation leaves as soon as it has sent the location; the default stays.
    bool setStockSetLocation(bool stock) const;

    void removeTool(const QString &name) const;
    // Replaces the tool with a file the system cannot execute (a launch failure).
    void breakTool(const QString &name) const;

    static constexpr const char *defaultUdid = "00008110-001A2B3C4D5E6F70";

private:
    QTemporaryDir root_;
    quint16 tunnelPort_ = 0;
    quint16 agentPort_ = 0;
    bool valid_ = false;
};

// A loopback TCP port that nobody listens on right now.
quint16 freeLoopbackPort();

// Child processes and descriptors of this test process, to prove nothing is left behind.
struct ProcessCensus
{
    struct Process
    {
        pid_t pid = 0;
        pid_t parent = 0;
        char state = '?';
        QString name;
    };
    static QList<Process> all(); // every process of the machine, from /proc
    static QList<pid_t> descendantsOf(pid_t root);
    static QList<pid_t> children(); // direct children, including zombies
    static int zombieChildren();
    static int openDescriptors();
    static bool isRunning(pid_t pid); // alive and not a zombie
    static QList<pid_t> processesNamed(const QString &name);
};

// The console lines written from its construction on.
class ConsoleCapture
{
public:
    ConsoleCapture();
    QStringList lines() const;
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    qsizetype first_;
};

// Writes an executable shell script and answers its path.
QString writeScript(const QString &path, const QByteArray &body);

// Standard output goes nowhere while it lives: some tests make tools print megabytes, which
// reach standard output through the console.
class QuietStandardOutput
{
public:
    QuietStandardOutput();
    ~QuietStandardOutput();
    QuietStandardOutput(const QuietStandardOutput &) = delete;
    QuietStandardOutput &operator=(const QuietStandardOutput &) = delete;

private:
    int saved_;
};
