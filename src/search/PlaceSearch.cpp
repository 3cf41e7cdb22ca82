#include "search/PlaceSearch.h"

#include "net/WebClient.h"
#include "platform/Console.h"
#include "search/CoordinateText.h"

#include <QLocale>

PlaceSearch::PlaceSearch(const AppEnvironment &environment, QObject *parent, net::WebClient *web)
    : QObject(parent)
    , serviceUrl_(environment.geocodingUrl)
    , timeout_(environment.timings.searchTimeout)
    , interval_(environment.timings.searchInterval)
    , web_(web ? web : new net::WebClient(this))
{
}

PlaceSearch::~PlaceSearch()
{
    cancel();
}

void PlaceSearch::submit(const QString &text)
{
    const QString query = text.simplified();
    if (query.isEmpty())
        return;
    const search::CoordinateText typed = search::readCoordinateText(text);
    if (typed.kind == search::CoordinateText::Kind::Coordinate) {
        dropRequest();
        chosenName_.clear();
        setShown({}, {});
        Q_EMIT placeChosen(typed.coordinate, coordinates::pinRegion(typed.coordinate));
        return;
    }
    if (typed.kind == search::CoordinateText::Kind::Invalid) {
        dropRequest();
        setShown({}, typed.message);
        return;
    }
    if (const auto known = cache_.constFind(query); known != cache_.cend()) {
        dropRequest();
        showAnswer(query, *known);
        return;
    }
    if (reply_ && query == replyQuery_)
        return; // already on its way
    dropRequest();
    QUrl url = AppEnvironment::serviceEndpoint(serviceUrl_, QStringLiteral("search"));
    // Encoded by hand: QUrlQuery would leave a "+" in the name, which servers read as a blank.
    url.setQuery(QStringLiteral("q=") + QString::fromLatin1(QUrl::toPercentEncoding(query))
                     + QStringLiteral("&format=jsonv2&limit=8"),
                 QUrl::StrictMode);
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Language", search::acceptLanguage(QLocale()));
    // The client keeps to the service's pace: a burst leaves only its newest query waiting.
    reply_ = web_->get({search::kServiceName, interval_, timeout_, 2 * 1000 * 1000}, request);
    replyQuery_ = query;
    replies_.removeAll(nullptr);
    replies_.append(reply_);
    connect(reply_, &net::Reply::finished, this,
            [this, query](const net::Answer &answer) { finishReply(query, answer); });
    setShown({}, QStringLiteral("Searching…"));
}

void PlaceSearch::finishReply(const QString &query, const net::Answer &answer)
{
    reply_ = nullptr;
    if (!answer.isSuccess()) {
        QString technical = answer.technical;
        if (answer.failure == net::Failure::None)
            technical = QStringLiteral("HTTP %1 (%2)").arg(answer.status).arg(answer.technical);
        fail(net::plainWords(answer, search::kServiceName), technical);
        return;
    }
    const std::optional<QList<search::FoundPlace>> places = search::parseSearchAnswer(answer.body);
    if (!places) {
        fail(net::unreadableAnswer(search::kServiceName),
             QStringLiteral("the answer was not a list of places"));
        return;
    }
    cache_.insert(query, *places);
    showAnswer(query, *places);
}

void PlaceSearch::showAnswer(const QString &query, const QList<search::FoundPlace> &places)
{
    if (places.isEmpty())
        setShown({}, search::noPlaceFoundLine(query));
    else
        setShown(places, {});
}

void PlaceSearch::fail(const QString &line, const QString &technical)
{
    consoleLine(QStringLiteral("⚠️ ") + search::kSearchFailedPrefix + technical);
    setShown({}, line);
}

void PlaceSearch::closeResults()
{
    if (!results_.isEmpty())
        setShown({}, statusLine_);
}

void PlaceSearch::choose(qsizetype row)
{
    if (row < 0 || row >= results_.size())
        return;
    const search::FoundPlace place = results_[row];
    chosenName_ = place.name;
    chosenAt_ = place.coordinate;
    setShown({}, {});
    Q_EMIT placeChosen(place.coordinate, search::cameraRegion(place));
}

QString PlaceSearch::nameAt(CLLocationCoordinate2D coordinate) const
{
    return coordinate == chosenAt_ ? chosenName_ : QString();
}

void PlaceSearch::cancel()
{
    dropRequest();
    // Replaced requests run on until they end, ignored; closing ends them all, silently.
    for (const QPointer<net::Reply> &reply : std::as_const(replies_))
        if (reply)
            reply->abort();
    replies_.clear();
}

void PlaceSearch::dropRequest()
{
    // One not sent yet never goes; one the service has already runs on, its answer not shown.
    if (reply_)
        reply_->abandon();
    reply_ = nullptr;
}

void PlaceSearch::setShown(QList<search::FoundPlace> results, QString statusLine)
{
    results_ = std::move(results);
    statusLine_ = std::move(statusLine);
    Q_EMIT changed();
}
