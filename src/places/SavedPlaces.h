#pragma once

#include "coordinates/Coordinates.h"
#include "places/PlacesFile.h"
#include "platform/Dispatch.h"

#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

// The user's saved places, kept in places.json in the data folder, read off the GUI thread at
// start and written off it after every change, one write after the other. A damaged file is
// copied aside (places.json.damaged-<time>) before anything is written over it, and what could
// be read from it is kept.
//
// When the file cannot be read (a folder, a pipe, a dangling link, no permission) or written,
// nothing is written over it: the list keeps every change in memory, says so for as long as it
// holds, and can be saved elsewhere. Nothing claims "saved" that was not written.
class SavedPlaces : public QObject
{
    Q_OBJECT
public:
    explicit SavedPlaces(const QString &folder, QObject *parent = nullptr);
    ~SavedPlaces() override;

    // False until the file has been read; places added meanwhile come after the file's.
    bool isLoaded() const { return loaded_; }
    const QList<SavedPlace> &places() const { return places_; }
    // Grows with every change of the list (not of the status line).
    quint64 generation() const { return generation_; }
    QString filePath() const { return path_; }
    // What the list says under it: the problem with the file while it lasts, then the last
    // note (a deletion, an import, a damaged file kept aside).
    QString statusLine() const;
    // Every change so far is in the file.
    bool isSaved() const;
    // The file cannot be read or written: changes stay in memory only.
    bool hasStorageProblem() const { return !problem_.isEmpty(); }
    bool canUndo() const { return !deleted_.isEmpty(); }
    bool contains(CLLocationCoordinate2D coordinate) const;
    bool isImporting() const { return importCancel_ != nullptr; }

    void add(const SavedPlace &place);
    void rename(qsizetype row, const QString &name);
    void move(qsizetype from, qsizetype to);
    void remove(qsizetype row);
    void undoRemove();

    // Waypoints of a GPX, KML or GeoJSON file, read and merged off the GUI thread; progress and
    // outcome show in the status line.
    void importFile(const QString &path);
    void cancelImport();
    // GPX waypoints, written off the GUI thread.
    void exportGpx(const QString &path);
    // From now on the places are kept in `path` (this session); the file that failed is left
    // as it is.
    void saveElsewhere(const QString &path);

Q_SIGNALS:
    void changed();
    void loaded();
    void importFinished();
    void exportFinished();

private:
    struct Loaded;
    static Loaded load(const QString &path);
    void finishLoading(const Loaded &read);
    void save();
    void changeTo(QList<SavedPlace> places, QString note);
    void setNote(const QString &note);
    void writeFinished(const QString &path, quint64 generation, const QString &error);
    void mergeImport(const QString &file, QList<SavedPlace> imported, QString skippedLine);

    QString path_;
    QList<SavedPlace> places_;
    quint64 generation_ = 0;
    quint64 writtenGeneration_ = 0;
    QString problem_; // while it holds
    QString note_;
    QList<std::pair<qsizetype, SavedPlace>> deleted_; // for undo, newest last
    bool loaded_ = false;
    bool writable_ = false; // whether the file may be written over
    std::shared_ptr<std::atomic<bool>> importCancel_;
    struct Writer;
    std::shared_ptr<Writer> writer_;
    MainQueue queue_;
};
