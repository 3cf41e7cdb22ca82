#pragma once

#include "geo/GeolocationBody.h"

#include <QObject>
#include <QPointer>
#include <optional>

class ScreenModel;
namespace net {
class Reply;
class WebClient;
} // namespace net

namespace geolocation {

inline const QString kFailureLine =
    QStringLiteral("⚠️ Could not determine approximate location, keeping default pin");

} // namespace geolocation

// Asks an IP-geolocation service once where this computer is, and moves the pin there when it
// answers. The request never blocks; its answer is applied whenever it comes.
class GeolocationLookup : public QObject
{
    Q_OBJECT
public:
    // Without a web client it makes its own.
    explicit GeolocationLookup(ScreenModel &model, QObject *parent = nullptr,
                               net::WebClient *web = nullptr);
    ~GeolocationLookup() override;

    void lookUpApproximateLocation();
    // The request's completion: the body when there is one, and whether the transport failed.
    void applyGeolocationResponse(const std::optional<QByteArray> &body, bool transportError);

Q_SIGNALS:
    void lookupFinished(bool moved);

private:
    ScreenModel &model_;
    net::WebClient *web_;
    QPointer<net::Reply> reply_;
};
