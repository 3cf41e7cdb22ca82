#include "LoopbackHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

LoopbackHttpServer::LoopbackHttpServer(QObject *parent, quint16 port)
    : QObject(parent)
{
    server_.listen(QHostAddress::LocalHost, port);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            connections_.insert(socket, {});
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                for (int index : connections_.take(socket).unanswered)
                    requests[index].dropped = true;
                socket->deleteLater();
            });
        }
    });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    server_.close();
    for (QTcpSocket *socket : connections_.keys()) {
        socket->disconnect(this);
        socket->abort();
    }
}

QUrl LoopbackHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

void LoopbackHttpServer::setHandler(std::function<Response(const Request &)> handler)
{
    handler_ = std::move(handler);
}

void LoopbackHttpServer::respondWith(const Response &response)
{
    handler_ = [response](const Request &) { return response; };
}

void LoopbackHttpServer::setHolding(bool holding)
{
    holding_ = holding;
    if (!holding)
        for (const auto &[socket, index] : std::exchange(held_, {}))
            answer(socket, index);
}

int LoopbackHttpServer::waiting() const
{
    int count = 0;
    for (const Connection &connection : connections_)
        count += static_cast<int>(connection.unanswered.size());
    return count;
}

void LoopbackHttpServer::read(QTcpSocket *socket)
{
    Connection &connection = connections_[socket];
    QByteArray &buffer = connection.buffer;
    buffer += socket->readAll();
    for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        Request request {lines.value(0).split(' ').value(1, "/"), {}};
        for (const QByteArray &line : lines.mid(1))
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(),
                                       line.mid(colon + 1).trimmed());
        const int index = static_cast<int>(requests.size());
        requests.append(request);
        requestedPaths.append(request.path);
        requestHeaders.append(request.headers);
        responses_.append(handler_ ? handler_(request) : Response {404, "not found"});
        connection.unanswered.append(index);
        Q_EMIT requestReceived(request.path);
        if (holding_)
            held_.append({socket, index});
        else
            answer(socket, index);
    }
}

void LoopbackHttpServer::answer(QTcpSocket *socket, int index)
{
    QTimer::singleShot(responses_[index].delayMs, this, [this, socket, index] {
        const auto connection = connections_.find(socket);
        if (connection == connections_.end() || !connection->unanswered.removeOne(index))
            return; // the client has gone
        const Response &response = responses_[index];
        socket->write("HTTP/1.1 " + QByteArray::number(response.status)
                      + " Status\r\nContent-Type: " + response.contentType
                      + "\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\n"
                      + response.headers + "\r\n" + response.body);
    });
}
