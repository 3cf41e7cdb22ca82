#pragma once

#include "map/MapGeometry.h"
#include "platform/Dispatch.h"

#include <QCache>
#include <QDeadlineTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <chrono>

namespace net {
struct Answer;
class Reply;
class WebClient;
} // namespace net

// Raster map tiles from a URL template ("https://host/{z}/{x}/{y}.png"): through the web client
// and its disk cache, which follows the server's expiry headers, a queue that asks for the
// tiles the view wants most first, and a bounded memory cache of decoded tiles.
//
// The view says which tiles it wants (request()); tiles it no longer wants leave the queue
// and their running downloads are aborted. A tile that fails is asked for again after a pause
// that doubles with each failure, for as long as the view still wants it. A tile is fetched at
// most once for one wish list, so a memory budget smaller than the view cannot loop.
//
// isOffline() tells the map that tiles cannot be fetched for want of a connection: it turns
// true when a tile request finds no connection to the tile server (no network, the host
// unknown or refusing) and false again when a tile comes from the server; offlineChanged()
// follows it.
class TileSource : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool offline READ isOffline NOTIFY offlineChanged)
public:
    using Milliseconds = std::chrono::milliseconds;
    using TileKey = mapgeometry::TileKey;

    static constexpr qint64 kDefaultMemoryBudget = 96LL * 1024 * 1024;
    static constexpr qint64 kDiskCacheSize = 256LL * 1024 * 1024;
    static constexpr int kDefaultConcurrentRequests = 6; // one host's connections
    static constexpr Milliseconds kDefaultRetryDelay {2000};
    static constexpr Milliseconds kMaxRetryDelay {60000};
    static constexpr qint64 kMaxTileBytes = 1000 * 1000;

    // An empty template asks for nothing: the map shows its placeholder grid. Without a web
    // client it makes its own, with its disk cache in `diskCacheFolder` (empty: the user's
    // cache folder); a client given keeps its own cache.
    explicit TileSource(const QString &urlTemplate, const QString &diskCacheFolder = {},
                        QObject *parent = nullptr, net::WebClient *web = nullptr);
    ~TileSource() override;

    // The "tiles" folder in the user's cache location.
    static QString defaultDiskCacheFolder();

    // The tiles wanted now, most wanted first. Replaces the previous wish list.
    void request(const QList<TileKey> &wanted);

    // A decoded tile from memory, or a null image. Marks it as recently used.
    QImage tile(TileKey key);
    bool hasTile(TileKey key) const { return memory_.contains(key); }

    qint64 memoryUsed() const { return memory_.totalCost() * 1024; }
    qsizetype tilesInMemory() const { return memory_.size(); }
    void setMemoryBudget(qint64 bytes);

    void setMaxConcurrentRequests(int count);
    void setRetryDelay(Milliseconds delay) { retryDelay_ = delay; }

    bool isOffline() const { return offline_; }

Q_SIGNALS:
    void tileReady(mapgeometry::TileKey key);
    // A download aborted because its tile left the wish list.
    void requestAborted(mapgeometry::TileKey key);
    void offlineChanged(bool offline);

private:
    struct Failure
    {
        int count = 0;
        QDeadlineTimer retryAt;
    };

    QUrl urlFor(TileKey key) const;
    void pump();
    void start(TileKey key);
    void finished(TileKey key, net::Reply *reply, const net::Answer &answer);
    void setOffline(bool offline);
    void decoded(TileKey key, const QImage &image);
    void failed(TileKey key);
    void scheduleRetry();

    QString urlTemplate_;
    net::WebClient *web_ = nullptr;
    bool offline_ = false;
    QCache<TileKey, QImage> memory_; // costs in KiB
    QList<TileKey> wanted_;
    QHash<TileKey, QPointer<net::Reply>> running_; // the client may go first
    QSet<TileKey> decoding_;
    QSet<TileKey> delivered_; // since the last wish list: not fetched twice for one wish

    QHash<TileKey, Failure> failures_;
    QTimer retryTimer_;
    int maxConcurrent_ = kDefaultConcurrentRequests;
    Milliseconds retryDelay_ = kDefaultRetryDelay;
    MainQueue mainQueue_;
};
