#include "LoopbackHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

LoopbackHttpServer::LoopbackHttpServer(QObject *parent)
    : QObject(parent)
{
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_.nextPendingConnection())
            serve(socket);
    });
}

QUrl LoopbackHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

void LoopbackHttpServer::setHandler(std::function<Response(const QByteArray &)> handler)
{
    handler_ = std::move(handler);
}

void LoopbackHttpServer::respondWith(const Response &response)
{
    handler_ = [response](const QByteArray &) { return response; };
}

void LoopbackHttpServer::serve(QTcpSocket *socket)
{
    socket->setParent(this);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        if (!buffer->contains("\r\n\r\n"))
            return;
        const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
        const QByteArray path = requestLine.size() > 1 ? requestLine[1] : QByteArray("/");
        QHash<QByteArray, QByteArray> headers;
        const QList<QByteArray> lines = buffer->left(buffer->indexOf("\r\n\r\n")).split('\n');
        for (const QByteArray &line : lines.mid(1)) {
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        buffer->clear();
        requestedPaths.append(path);
        requestHeaders.append(headers);
        Q_EMIT requestReceived(path);
        const Response response = handler_ ? handler_(path) : Response {404, "not found"};
        const QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status)
            + " Status\r\nContent-Type: " + response.contentType
            + "\r\nContent-Length: " + QByteArray::number(response.body.size())
            + "\r\nConnection: close\r\n\r\n" + response.body;
        QPointer<QTcpSocket> alive = socket;
        QTimer::singleShot(response.delayMs, this, [alive, reply] {
            if (!alive)
                return;
            alive->write(reply);
            alive->disconnectFromHost();
        });
    });
}
