#pragma once

#include <QLockFile>
#include <QObject>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// One PinDrift at a time for a user: the first to start holds a lock file in the private
// runtime folder and listens on a local socket beside it. A later start hands the running one
// the route files it was given (the running one comes to the front and opens them) and ends.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `folder`: the user's private runtime folder (AppEnvironment::temporaryFolderPath()).
    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this is the one PinDrift: it holds the lock and listens from now on. False when
    // another one runs.
    bool claim();
    // Asks the running one to come to the front and open `files`; true once it has them.
    bool handOver(const QStringList &files, int timeoutMs = 5000);

    QString socketPath() const { return socketPath_; }

Q_SIGNALS:
    // Another start asked this one to come to the front and open these files (absolute paths).
    void activated(const QStringList &files);

private:
    void receive(QLocalSocket *socket);

    QString socketPath_;
    QLockFile lock_;
    QLocalServer *server_ = nullptr;
};
