#include "net/WebClient.h"

#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkReply>

namespace net {

namespace {

Failure failureOf(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::NoError:
        return Failure::None;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return Failure::NoConnection;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::OperationCanceledError: // the transfer time-out ends a reply this way
        return Failure::TimedOut;
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::InsecureRedirectError:
        return Failure::Insecure;
    default:
        return Failure::Other;
    }
}

QString sentenceStart(const QString &name)
{
    return QStringLiteral("The ") + name;
}

} // namespace

QString plainWords(const Answer &answer, const QString &serviceName)
{
    switch (answer.failure) {
    case Failure::None:
        break;
    case Failure::NoConnection:
        return QStringLiteral("No connection to the ") + serviceName;
    case Failure::TimedOut:
        return sentenceStart(serviceName) + QStringLiteral(" did not answer in time");
    case Failure::TooLarge:
        return sentenceStart(serviceName) + QStringLiteral(" sent an answer too large to read");
    case Failure::Insecure:
        return QStringLiteral("No secure connection to the %1 could be made").arg(serviceName);
    case Failure::Other:
        return sentenceStart(serviceName) + QStringLiteral(" could not be reached");
    }
    if (answer.isSuccess())
        return {};
    const int status = answer.status;
    if (status == 429)
        return sentenceStart(serviceName)
            + QStringLiteral(" asks to slow down: too many requests (HTTP 429)");
    if (status >= 500)
        return sentenceStart(serviceName)
            + QStringLiteral(" is not working right now (HTTP %1)").arg(status);
    return sentenceStart(serviceName)
        + QStringLiteral(" refused the request (HTTP %1)").arg(status);
}

QString unreadableAnswer(const QString &serviceName)
{
    return sentenceStart(serviceName) + QStringLiteral(" sent an answer that could not be read");
}

QByteArray userAgent()
{
    return QByteArrayLiteral("PinDrift/" PINDRIFT_VERSION " (Qt ") + qVersion() + ')';
}

void Reply::abort()
{
    if (done_)
        return;
    done_ = true;
    if (network_) {
        network_->disconnect(this);
        // One that failed already is only waiting to say so; aborted, it would fail twice.
        if (network_->error() == QNetworkReply::NoError)
            network_->abort();
        network_->deleteLater();
        network_ = nullptr;
    }
    deadline_.stop();
    deleteLater();
}

void Reply::abandon()
{
    if (done_)
        return;
    if (!network_) {
        abort();
        return;
    }
    // Runs on; the client throws its answer away.
    disconnect(this, &Reply::finished, nullptr, nullptr);
}

WebClient::WebClient(QObject *parent)
    : QObject(parent)
    , network_(new QNetworkAccessManager(this))
{
    qRegisterMetaType<net::Answer>();
}

WebClient::~WebClient()
{
    // Closing ends every request without a word.
    const QList<Reply *> replies = findChildren<Reply *>(Qt::FindDirectChildrenOnly);
    for (Reply *reply : replies) {
        reply->disconnect();
        if (reply->network_) {
            reply->network_->disconnect();
            reply->network_->abort();
        }
    }
    qDeleteAll(paces_);
}

void WebClient::setDiskCache(const QString &folder, qint64 maxBytes)
{
    auto *cache = new QNetworkDiskCache(network_);
    cache->setCacheDirectory(folder);
    cache->setMaximumCacheSize(maxBytes);
    network_->setCache(cache); // the manager owns it, and deletes the one before
}

Reply *WebClient::get(const Service &service, QNetworkRequest request)
{
    auto *reply = new Reply(this);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    request.setTransferTimeout(static_cast<int>(service.timeout.count()));
    if (service.cached) {
        // Fresh copies come from the disk, stale ones are checked with the server; nothing
        // forces a reload past the server's expiry headers.
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::PreferNetwork);
    } else {
        // What a person searched for or where they go stays off the disk.
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    }
    reply->request_ = request;
    reply->service_ = service.name;
    reply->timeout_ = service.timeout;
    reply->maxBytes_ = service.maxBytes;
    intervals_.insert(service.name, service.interval);
    Pace *&pace = paces_[service.name];
    if (!pace) {
        pace = new Pace;
        pace->timer.setSingleShot(true);
        connect(&pace->timer, &QTimer::timeout, this,
                [this, name = service.name] { sendDue(name); });
    }
    pace->waiting.append(reply);
    sendDue(service.name);
    return reply;
}

void WebClient::sendDue(const QString &service)
{
    Pace *pace = paces_.value(service);
    const qint64 interval = intervals_.value(service).count();
    while (pace && !pace->waiting.isEmpty()) {
        const QPointer<Reply> next = pace->waiting.first();
        if (!next || next->done_) {
            pace->waiting.removeFirst();
            continue;
        }
        const qint64 wait = pace->sinceLast.isValid() ? interval - pace->sinceLast.elapsed() : 0;
        if (wait > 0) {
            pace->timer.start(static_cast<int>(wait));
            return;
        }
        pace->waiting.removeFirst();
        pace->sinceLast.start();
        send(next);
    }
}

void WebClient::send(Reply *reply)
{
    QNetworkReply *network = network_->get(reply->request_);
    reply->network_ = network;
    const auto cutOff = [reply](Failure why) {
        if (reply->cutOff_ != Failure::None || !reply->network_)
            return;
        reply->cutOff_ = why;
        reply->network_->abort(); // finishes it
    };
    connect(network, &QNetworkReply::metaDataChanged, reply, [reply, network, cutOff] {
        const QVariant length = network->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > reply->maxBytes_)
            cutOff(Failure::TooLarge);
    });
    connect(network, &QNetworkReply::readyRead, reply, [reply, network, cutOff] {
        reply->body_ += network->read(reply->maxBytes_ + 1 - reply->body_.size());
        if (reply->body_.size() > reply->maxBytes_)
            cutOff(Failure::TooLarge);
    });
    connect(network, &QNetworkReply::finished, reply, [this, reply] { finish(reply); });
    reply->deadline_.setSingleShot(true);
    connect(&reply->deadline_, &QTimer::timeout, reply, [cutOff] { cutOff(Failure::TimedOut); });
    reply->deadline_.start(reply->timeout_);
}

void WebClient::finish(Reply *reply)
{
    if (reply->done_ || !reply->network_)
        return;
    reply->done_ = true;
    reply->deadline_.stop();
    QNetworkReply *network = std::exchange(reply->network_, nullptr);
    network->disconnect(reply);
    network->deleteLater();
    if (reply->cutOff_ == Failure::None && reply->body_.size() <= reply->maxBytes_)
        reply->body_ += network->read(reply->maxBytes_ + 1 - reply->body_.size());

    Answer answer;
    const QVariant status = network->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    answer.status = status.isValid() ? status.toInt() : 0;
    answer.technical = network->errorString();
    if (reply->body_.size() > reply->maxBytes_)
        reply->cutOff_ = Failure::TooLarge;
    if (reply->cutOff_ == Failure::TooLarge) {
        answer.failure = Failure::TooLarge;
        answer.technical =
            QStringLiteral("the answer was longer than %1 bytes").arg(reply->maxBytes_);
    } else if (reply->cutOff_ == Failure::TimedOut) {
        answer.failure = Failure::TimedOut;
        answer.technical =
            QStringLiteral("no whole answer within %1 ms").arg(reply->timeout_.count());
    } else if (network->error() != QNetworkReply::NoError && !status.isValid()) {
        answer.failure = failureOf(network->error());
    }
    if (answer.failure == Failure::None)
        answer.body = std::move(reply->body_);
    reply->body_.clear();
    Q_EMIT reply->finished(answer);
    reply->deleteLater();
}

} // namespace net
