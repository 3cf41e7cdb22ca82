#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>
#include <functional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests: answers each request with the response the
// handler gives, optionally after a delay or held back until released, and records every
// request, including whether the client gave up on it before its answer.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Response
    {
        int status = 200;
        QByteArray body {};
        int delayMs = 0;
        QByteArray contentType = "application/json";
        QByteArray headers {}; // further header lines, each ending in "\r\n"
    };
    struct Request
    {
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        bool dropped = false; // the client closed the connection before the answer
    };

    // On a port of its own choosing, or on `port`.
    explicit LoopbackHttpServer(QObject *parent = nullptr, quint16 port = 0);
    ~LoopbackHttpServer() override;

    QUrl url(const QString &path) const;
    quint16 port() const { return server_.serverPort(); }
    void setHandler(std::function<Response(const Request &)> handler);
    void respondWith(const Response &response);
    void setHolding(bool holding); // while held, requests wait unanswered
    int waiting() const; // requests not answered yet

    QList<Request> requests;
    QList<QByteArray> requestedPaths;
    QList<QHash<QByteArray, QByteArray>> requestHeaders; // one per request

Q_SIGNALS:
    void requestReceived(const QByteArray &path);

private:
    void read(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int index);

    QTcpServer server_;
    std::function<Response(const Request &)> handler_;
    struct Connection
    {
        QByteArray buffer;
        QList<int> unanswered; // indices into requests
    };
    QHash<QTcpSocket *, Connection> connections_; // the open ones
    QList<Response> responses_;
    QList<std::pair<QTcpSocket *, int>> held_;
    bool holding_ = false;
};
