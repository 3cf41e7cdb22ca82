#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <unistd.h>

namespace {

constexpr qint64 kMostBytes = 256 * 1024; // a few file names; anything bigger is not ours
const QByteArray kReceived = QByteArrayLiteral("ok\n");

QString inFolder(const QString &folder, const char *suffix)
{
    return QDir(folder).filePath(
        QStringLiteral("pindrift-%1.%2").arg(::getuid()).arg(QString::fromLatin1(suffix)));
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
    , socketPath_(inFolder(folder, "socket"))
    , lock_(inFolder(folder, "lock"))
{
    // Held for as long as PinDrift runs: only a lock whose process is gone is stale.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (server_)
        server_->close();
}

bool SingleInstance::claim()
{
    if (!lock_.tryLock(0))
        return false;
    // A socket left by a PinDrift that crashed is ours to replace.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_))
        return true; // still the one PinDrift; later starts cannot reach it
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { receive(socket); });
        }
    });
    return true;
}

void SingleInstance::receive(QLocalSocket *socket)
{
    // One file name a line; an empty line ends the message.
    QByteArray bytes = socket->property("received").toByteArray() + socket->readAll();
    if (bytes.size() > kMostBytes) {
        socket->abort();
        return;
    }
    const qsizetype end = bytes.indexOf("\n\n");
    if (end < 0 && bytes != "\n") {
        socket->setProperty("received", bytes);
        return;
    }
    QStringList files;
    for (const QByteArray &line : bytes.left(std::max<qsizetype>(end, 0)).split('\n'))
        if (!line.isEmpty())
            files.append(QString::fromUtf8(line));
    socket->write(kReceived);
    socket->disconnectFromServer();
    Q_EMIT activated(files);
}

bool SingleInstance::handOver(const QStringList &files, int timeoutMs)
{
    QByteArray message;
    for (const QString &file : files)
        message += QFileInfo(file).absoluteFilePath().toUtf8() + '\n';
    message += '\n';
    // The running one may have taken the lock a moment ago and not listen yet.
    QLocalSocket socket;
    QDeadlineTimer deadline(timeoutMs);
    do {
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(std::max<qint64>(deadline.remainingTime(), 1)))
            break;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    if (socket.state() != QLocalSocket::ConnectedState)
        return false;
    socket.write(message);
    QByteArray answer;
    while (answer.size() < kReceived.size() && !deadline.hasExpired()
           && socket.waitForReadyRead(std::max<qint64>(deadline.remainingTime(), 1)))
        answer += socket.readAll();
    return answer.startsWith(kReceived);
}
