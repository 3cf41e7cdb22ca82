#include "geo/GeolocationLookup.h"

#include "net/WebClient.h"
#include "platform/Console.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

GeolocationLookup::GeolocationLookup(ScreenModel &model, QObject *parent, net::WebClient *web)
    : QObject(parent)
    , model_(model)
    , web_(web ? web : new net::WebClient(this))
{
    connect(&model_, &ScreenModel::startupLookupRequested, this,
            &GeolocationLookup::lookUpApproximateLocation);
}

GeolocationLookup::~GeolocationLookup()
{
    // Ending the request with the window is not a failure: nothing to say about it.
    if (reply_)
        reply_->abort();
}

void GeolocationLookup::lookUpApproximateLocation()
{
    // The platform HTTP clients give up after a minute by default; Qt would wait for ever.
    const net::Service service {QStringLiteral("location service"), std::chrono::milliseconds(0),
                                std::chrono::seconds(60), 64 * 1000};
    reply_ = web_->get(service, QNetworkRequest(model_.environment().geolocationUrl));
    connect(reply_, &net::Reply::finished, this, [this](const net::Answer &answer) {
        // Any HTTP status will do: the body alone decides.
        const bool transportError = answer.failure != net::Failure::None;
        // A reply that never reached a server has no body to read.
        applyGeolocationResponse(
            transportError ? std::nullopt : std::optional<QByteArray>(answer.body), transportError);
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
