#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

// The one client for the web services (place search, routing, approximate location, map
// tiles): one network manager, the User-Agent, each service's pace, time-out and answer size,
// and one way of putting a failure in plain words.
namespace net {

// What the client keeps to for one service.
struct Service
{
    QString name; // as a person reads it: "place search service"
    std::chrono::milliseconds interval {0}; // at least this between two requests
    std::chrono::milliseconds timeout {20000}; // the whole request, first byte to last
    qint64 maxBytes = 4 * 1000 * 1000; // a longer answer is cut off and fails
    bool cached = false; // through the disk cache, as the server's expiry headers allow
};

enum class Failure {
    None, // an answer came (whatever its HTTP status)
    NoConnection, // no network, the host unknown or not listening
    TimedOut,
    TooLarge,
    Insecure, // no secure connection could be made
    Other,
};

struct Answer
{
    Failure failure = Failure::None;
    int status = 0; // the HTTP status; 0 without one (no answer, or a file:// URL)
    QByteArray body;
    QString technical; // the network layer's own words, for the console

    // An answer with a 2xx status (or a local file's).
    bool isSuccess() const
    {
        return failure == Failure::None && (status == 0 || (status >= 200 && status <= 299));
    }
};

// What a person reads about a failed request, "No connection to the place search service";
// empty for a success.
QString plainWords(const Answer &answer, const QString &serviceName);
// The same for an answer that came but could not be read.
QString unreadableAnswer(const QString &serviceName);

// "PinDrift/1.0 (Qt 6.4.2)"
QByteArray userAgent();

// One request. The client deletes it after finished(), or after abort() or abandon().
class Reply : public QObject
{
    Q_OBJECT
public:
    bool isSent() const { return network_ != nullptr; }
    // Ends it now; no finished() follows.
    void abort();
    // Nobody waits for it any more: one not sent yet never goes, one under way runs to its end
    // (the service has it already) and is thrown away. No finished() follows.
    void abandon();

Q_SIGNALS:
    void finished(const net::Answer &answer);

private:
    friend class WebClient;
    explicit Reply(QObject *parent)
        : QObject(parent)
    {
    }

    QNetworkRequest request_;
    QString service_;
    std::chrono::milliseconds timeout_ {0};
    qint64 maxBytes_ = 0;
    QNetworkReply *network_ = nullptr;
    QByteArray body_;
    QTimer deadline_;
    Failure cutOff_ = Failure::None; // why the client ended it
    bool done_ = false;
};

class WebClient : public QObject
{
    Q_OBJECT
public:
    explicit WebClient(QObject *parent = nullptr);
    ~WebClient() override;

    // Where cached services keep their answers; none until this is called.
    void setDiskCache(const QString &folder, qint64 maxBytes);

    // Sends a GET for `service`: at once, or once its interval since its last request has
    // passed (those waiting go in turn). Adds the User-Agent.
    Reply *get(const Service &service, QNetworkRequest request);

private:
    struct Pace
    {
        QElapsedTimer sinceLast;
        QList<QPointer<Reply>> waiting;
        QTimer timer;
    };
    void sendDue(const QString &service);
    void send(Reply *reply);
    void finish(Reply *reply);

    QNetworkAccessManager *network_;
    QHash<QString, Pace *> paces_;
    QHash<QString, std::chrono::milliseconds> intervals_;
};

} // namespace net

Q_DECLARE_METATYPE(net::Answer)
