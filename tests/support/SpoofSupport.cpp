#include "SpoofSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>

QList<pid_t> processesRunningFrom(const QString &folder)
{
    const QString prefix = QDir(folder).canonicalPath() + u'/';
    QList<pid_t> result;
    for (const ProcessCensus::Process &process : ProcessCensus::all()) {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(process.pid));
        if (exe.startsWith(prefix) && process.state != 'Z')
            result.append(process.pid);
    }
    return result;
}

bool nothingLeftBehind(const SimDeviceKit &kit)
{
    return processesRunningFrom(kit.resourceFolder()).isEmpty()
        && ProcessCensus::children().isEmpty();
}

QString writeFakePrompt(const QString &folder, const QByteArray &body)
{
    const QByteArray log = QFile::encodeName(folder + QStringLiteral("/prompts"));
    return writeScript(folder + QStringLiteral("/fake-prompt"),
                       "#!/bin/sh\necho \"$*\" >> '" + log + "'\n" + body);
}

int promptCount(const QString &folder)
{
    QFile file(folder + QStringLiteral("/prompts"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(file.readAll().count('\n'));
}

bool startKitTunnel(const SimDeviceKit &kit)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SIMDEVICE_ADMIN"),
                       QStringLiteral("1")); // tunneld needs root
    process.setProcessEnvironment(environment);
    process.start(kit.toolPath(QStringLiteral("pymobiledevice3")),
                  {QStringLiteral("remote"), QStringLiteral("tunneld"), QStringLiteral("-d")});
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

bool portListening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}
