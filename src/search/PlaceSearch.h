#pragma once

#include "coordinates/Coordinates.h"
#include "search/SearchAnswer.h"
#include "state/AppEnvironment.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

namespace net {
struct Answer;
class Reply;
class WebClient;
} // namespace net

// The search field's work: reads pasted coordinates itself and asks the geocoding service for
// anything else, on Return only, at most once per interval (a burst leaves only its newest
// query waiting), with the answers kept for the session. A new search replaces the one before;
// cancel() drops everything without a word. A failure reads in plain words ("No connection to
// the place search service"); the network's own words go to the console.
class PlaceSearch : public QObject
{
    Q_OBJECT
public:
    // Without a web client it makes its own.
    explicit PlaceSearch(const AppEnvironment &environment, QObject *parent = nullptr,
                         net::WebClient *web = nullptr);
    ~PlaceSearch() override;

    void submit(const QString &text);
    // Closes the results list.
    void closeResults();
    void choose(qsizetype row);
    // The window is closing.
    void cancel();

    const QList<search::FoundPlace> &results() const { return results_; }
    QString statusLine() const { return statusLine_; }
    // The name of the place last chosen, while the pin stands at its point.
    QString nameAt(CLLocationCoordinate2D coordinate) const;

Q_SIGNALS:
    void changed();
    // Picked from the results, or typed as coordinates: the camera goes to `region`.
    void placeChosen(CLLocationCoordinate2D coordinate, MapRegion region);

private:
    void finishReply(const QString &query, const net::Answer &answer);
    void showAnswer(const QString &query, const QList<search::FoundPlace> &places);
    void fail(const QString &line, const QString &technical);
    void dropRequest();
    void setShown(QList<search::FoundPlace> results, QString statusLine);

    QUrl serviceUrl_;
    std::chrono::milliseconds timeout_;
    std::chrono::milliseconds interval_;
    net::WebClient *web_;
    QPointer<net::Reply> reply_; // waiting its turn, or under way
    QString replyQuery_;
    QList<QPointer<net::Reply>> replies_; // given up ones run on until they end
    QHash<QString, QList<search::FoundPlace>> cache_;
    QList<search::FoundPlace> results_;
    QString statusLine_;
    QString chosenName_;
    CLLocationCoordinate2D chosenAt_;
};
