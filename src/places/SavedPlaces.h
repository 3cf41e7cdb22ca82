#pragma once

#include "coordinates/Coordinates.h"
#include "platform/Dispatch.h"

#include <QList>
#include <QObject>
#include <QString>
#include <memory>

namespace gpx {
struct Waypoints;
}

struct SavedPlace
{
    QString name;
    CLLocationCoordinate2D coordinate;

    friend bool operator==(const SavedPlace &, const SavedPlace &) = default;
};

namespace places {

// "48.85660, 2.35220": the name of a place nobody named.
QString defaultName(CLLocationCoordinate2D coordinate);

QByteArray toJson(const QList<SavedPlace> &places);
// The places of a file, and whether all of it could be read: false for a file that is not
// ours or is damaged, in which case `places` holds what could still be read from it.
struct JsonRead
{
    QList<SavedPlace> places;
    bool whole = false;
};
JsonRead fromJson(const QByteArray &bytes);

// Writes `bytes` to `path` through a temporary file that replaces it only when complete.
// The error text, or empty when written.
QString writeFileAtomically(const QString &path, const QByteArray &bytes);

} // namespace places

// The user's saved places, kept in places.json in the data folder. Every change is written at
// once, off the GUI thread, one write after the other. A file that cannot be read is copied
// aside (places.json.damaged-<time>) before anything is written over it.
class SavedPlaces : public QObject
{
    Q_OBJECT
public:
    explicit SavedPlaces(const QString &folder, QObject *parent = nullptr);
    ~SavedPlaces() override;

    const QList<SavedPlace> &places() const { return places_; }
    QString filePath() const { return path_; }
    // What the list says under it: a damaged or unwritable file, an import, a deletion.
    QString statusLine() const { return statusLine_; }
    bool canUndo() const { return !deleted_.isEmpty(); }
    bool contains(CLLocationCoordinate2D coordinate) const;

    void add(const SavedPlace &place);
    void rename(qsizetype row, const QString &name);
    void move(qsizetype from, qsizetype to);
    void remove(qsizetype row);
    void undoRemove();

    // GPX waypoints, read and written off the GUI thread; the outcome shows in the status line.
    void importGpx(const QString &path);
    void exportGpx(const QString &path);

Q_SIGNALS:
    void changed();
    void importFinished();
    void exportFinished();

private:
    void load();
    void save();
    void changeTo(QList<SavedPlace> places, QString statusLine);
    void setStatusLine(const QString &line);
    void writeFinished(const QString &error);
    void applyImport(const QString &path, const gpx::Waypoints &read);

    QString path_;
    QList<SavedPlace> places_;
    QString statusLine_;
    QList<std::pair<qsizetype, SavedPlace>> deleted_; // for undo, newest last
    bool writable_ = true;
    struct Writer;
    std::shared_ptr<Writer> writer_;
    MainQueue queue_;
};
