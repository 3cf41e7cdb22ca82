#include "geo/GeolocationLookup.h"

#include "platform/Console.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// The platform HTTP clients give up after a minute by default; Qt would wait for ever.
constexpr int kTransferTimeoutMs = 60000;

} // namespace

GeolocationLookup::GeolocationLookup(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
    , network_(new QNetworkAccessManager(this))
{
    connect(&model_, &ScreenModel::startupLookupRequested, this,
            &GeolocationLookup::lookUpApproximateLocation);
}

GeolocationLookup::~GeolocationLookup()
{
    // Ending the request with the window is not a failure: nothing to say about it.
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void GeolocationLookup::lookUpApproximateLocation()
{
    QNetworkRequest request(model_.environment().geolocationUrl);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, AppEnvironment::userAgent());
    QNetworkReply *reply = network_->get(request);
    reply_ = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::OperationCanceledError)
            return;
        // Any HTTP status will do: the body alone decides.
        const bool transportError = reply->error() != QNetworkReply::NoError
            && !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        // A reply that never reached a server has no body to read.
        applyGeolocationResponse(transportError ? std::nullopt
                                                : std::optional<QByteArray>(reply->readAll()),
                                 transportError);
    });
}

void GeolocationLookup::applyGeolocationResponse(const std::optional<QByteArray> &body,
                                                 bool transportError)
{
    const std::optional<CLLocationCoordinate2D> place =
        (transportError || !body) ? std::nullopt : geolocation::parseGeolocationBody(*body);
    if (!place) {
        consoleLine(geolocation::kFailureLine);
        Q_EMIT lookupFinished(false);
        return;
    }
    // Applied whatever happened since the start: a late answer still moves pin and camera.
    coordinates::placePin(model_, true, *place);
    Q_EMIT lookupFinished(true);
}
