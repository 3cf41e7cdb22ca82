#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>
#include <functional>

// A small HTTP/1.1 server on 127.0.0.1 for tests: answers each request with the response the
// handler gives, optionally after a delay, and records the paths it was asked for.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        int delayMs = 0;
        QByteArray contentType = "application/json";
    };

    explicit LoopbackHttpServer(QObject *parent = nullptr);

    bool isListening() const { return server_.isListening(); }
    QUrl url(const QString &path) const;
    void setHandler(std::function<Response(const QByteArray &path)> handler);
    void respondWith(const Response &response);

    QList<QByteArray> requestedPaths;
    QList<QHash<QByteArray, QByteArray>> requestHeaders; // names in lower case, one per request

Q_SIGNALS:
    void requestReceived(const QByteArray &path);

private:
    void serve(QTcpSocket *socket);

    QTcpServer server_;
    std::function<Response(const QByteArray &)> handler_;
};
