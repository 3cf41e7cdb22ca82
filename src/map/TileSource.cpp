#include "map/TileSource.h"

#include "net/WebClient.h"

#include <QDir>
#include <QStandardPaths>
#include <algorithm>

using mapgeometry::TileKey;

namespace {

const net::Service kTiles {QStringLiteral("map tile server"), std::chrono::milliseconds(0),
                           std::chrono::milliseconds(20000), TileSource::kMaxTileBytes, true};

qint64 costInKiB(const QImage &image)
{
    return (image.sizeInBytes() + 1023) / 1024;
}

// Opaque tiles become RGB32, the format the raster engine copies fastest.
QImage decodeTile(const QByteArray &bytes)
{
    QImage image;
    if (!image.loadFromData(bytes) || image.isNull())
        return {};
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

} // namespace

TileSource::TileSource(const QString &urlTemplate, const QString &diskCacheFolder, QObject *parent,
                       net::WebClient *web)
    : QObject(parent)
    , urlTemplate_(urlTemplate)
    , web_(web)
    , mainQueue_(this)
{
    if (!web_) {
        web_ = new net::WebClient(this);
        web_->setDiskCache(diskCacheFolder.isEmpty() ? defaultDiskCacheFolder() : diskCacheFolder,
                           kDiskCacheSize);
    }
    setMemoryBudget(kDefaultMemoryBudget);
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &TileSource::pump);
}

TileSource::~TileSource()
{
    mainQueue_.close();
    for (const QPointer<net::Reply> &reply : std::as_const(running_))
        if (reply)
            reply->abort();
}

QString TileSource::defaultDiskCacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/PinDrift/tiles");
}

QUrl TileSource::urlFor(TileKey key) const
{
    QString url = urlTemplate_;
    url.replace(QStringLiteral("{z}"), QString::number(key.z));
    url.replace(QStringLiteral("{x}"), QString::number(key.x));
    url.replace(QStringLiteral("{y}"), QString::number(key.y));
    return QUrl(url);
}

void TileSource::request(const QList<TileKey> &wanted)
{
    wanted_ = wanted;
    delivered_.clear();
    const QSet<TileKey> keep(wanted.cbegin(), wanted.cend());
    for (auto it = running_.begin(); it != running_.end();) {
        if (keep.contains(it.key())) {
            ++it;
            continue;
        }
        const TileKey key = it.key();
        const QPointer<net::Reply> reply = it.value();
        it = running_.erase(it);
        if (reply)
            reply->abort();
        Q_EMIT requestAborted(key);
    }
    // A failure is remembered while its tile is wanted; a tile wanted again later starts over.
    failures_.removeIf([&](const auto &entry) { return !keep.contains(entry.key()); });
    pump();
}

QImage TileSource::tile(TileKey key)
{
    const QImage *image = memory_.object(key);
    return image ? *image : QImage();
}

void TileSource::setMemoryBudget(qint64 bytes)
{
    memory_.setMaxCost(std::max<qint64>(bytes / 1024, 1));
}

void TileSource::setMaxConcurrentRequests(int count)
{
    maxConcurrent_ = std::max(count, 1);
    pump();
}

void TileSource::pump()
{
    if (urlTemplate_.isEmpty())
        return;
    for (const TileKey &key : std::as_const(wanted_)) {
        if (running_.size() >= maxConcurrent_)
            break;
        if (memory_.contains(key) || running_.contains(key) || decoding_.contains(key)
            || delivered_.contains(key))
            continue;
        const auto failure = failures_.constFind(key);
        if (failure != failures_.cend() && !failure->retryAt.hasExpired())
            continue;
        start(key);
    }
    scheduleRetry();
}

void TileSource::start(TileKey key)
{
    net::Reply *reply = web_->get(kTiles, QNetworkRequest(urlFor(key)));
    running_.insert(key, reply);
    connect(reply, &net::Reply::finished, this,
            [this, key, reply](const net::Answer &answer) { finished(key, reply, answer); });
}

void TileSource::setOffline(bool offline)
{
    if (offline_ == offline)
        return;
    offline_ = offline;
    Q_EMIT offlineChanged(offline);
}

void TileSource::finished(TileKey key, net::Reply *reply, const net::Answer &answer)
{
    if (running_.value(key) != reply)
        return;
    running_.remove(key);
    if (answer.failure == net::Failure::NoConnection)
        setOffline(true);
    else if (answer.failure == net::Failure::None && answer.status != 0)
        setOffline(false); // the server answered
    if (!answer.isSuccess()) {
        failed(key);
    } else {
        // PNG decoding stays off the GUI thread; the result comes back through the queue.
        decoding_.insert(key);
        const auto deliver = [this, key](const QImage &image) { decoded(key, image); };
        dispatch::runInBackground(
            dispatch::Priority::UserInitiated, [bytes = answer.body, queue = mainQueue_, deliver] {
                queue.post([deliver, image = decodeTile(bytes)] { deliver(image); });
            });
    }
    pump();
}

void TileSource::decoded(TileKey key, const QImage &image)
{
    decoding_.remove(key);
    if (image.isNull()) {
        failed(key);
        pump();
        return;
    }
    failures_.remove(key);
    delivered_.insert(key);
    memory_.insert(key, new QImage(image), costInKiB(image));
    Q_EMIT tileReady(key);
}

void TileSource::failed(TileKey key)
{
    Failure &failure = failures_[key];
    ++failure.count;
    const Milliseconds doubled = retryDelay_ * (1 << std::min(failure.count - 1, 16));
    const Milliseconds delay = std::min(doubled, std::max(kMaxRetryDelay, retryDelay_));
    failure.retryAt = QDeadlineTimer(delay);
}

void TileSource::scheduleRetry()
{
    qint64 soonest = -1;
    for (const Failure &failure : std::as_const(failures_)) {
        const qint64 remaining = failure.retryAt.remainingTime();
        if (remaining > 0 && (soonest < 0 || remaining < soonest))
            soonest = remaining;
    }
    if (soonest < 0)
        retryTimer_.stop();
    else
        retryTimer_.start(static_cast<int>(soonest));
}
