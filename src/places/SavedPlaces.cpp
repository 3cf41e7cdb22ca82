#include "places/SavedPlaces.h"

#include "formats/GeoFile.h"
#include "platform/Console.h"
#include "platform/Files.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <sys/stat.h>

namespace {

// A million places take about 80 MB; a larger file is not ours.
constexpr qint64 kMaxPlacesFileBytes = 512LL * 1000 * 1000;

const QString kWriteFailed = QStringLiteral("Saved places could not be written: ");
const QString kKeptInMemory = QStringLiteral(" Changes are kept only until PinDrift closes.");

QString placeCount(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 place") : QStringLiteral("%1 places").arg(count);
}

} // namespace

// What the start-up read found.
struct SavedPlaces::Loaded
{
    QList<SavedPlace> places;
    bool writable = true; // false: never write over the file
    QString problem; // the file could not be read, or not kept aside when damaged
    QString note; // a damaged file kept aside
};

struct SavedPlaces::Writer
{
    std::mutex mutex;
    // The newest list not yet taken by the writing job, where, and which change it is.
    std::optional<std::tuple<QList<SavedPlace>, QString, quint64>> pending;
    bool running = false;
};

SavedPlaces::SavedPlaces(const QString &folder, QObject *parent)
    : QObject(parent)
    , path_(QDir(folder).filePath(QStringLiteral("places.json")))
    , writer_(std::make_shared<Writer>())
    , queue_(this)
{
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(dispatch::Priority::UserInitiated,
                              [path = path_, queue = queue_, self] {
                                  const Loaded loaded = load(path);
                                  queue.post([self, loaded] {
                                      if (self)
                                          self->finishLoading(loaded);
                                  });
                              });
}

SavedPlaces::~SavedPlaces()
{
    // A write under way finishes on its own; only its report is dropped.
    queue_.close();
    cancelImport();
}

SavedPlaces::Loaded SavedPlaces::load(const QString &path)
{
    Loaded loaded;
    const QString name = QFileInfo(path).fileName();
    struct stat info
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 && errno == ENOENT)
        return loaded; // the first start
    platform::OpenedFile opened = platform::openRegularFile(path, kMaxPlacesFileBytes);
    QByteArray bytes;
    if (opened.file) {
        bytes = opened.file->readAll();
        if (opened.file->error() != QFileDevice::NoError)
            opened.error = opened.file->errorString();
    } else if (S_ISLNK(info.st_mode) && opened.error == QString::fromLocal8Bit(strerror(ENOENT))) {
        opened.error = QStringLiteral("a link to a file that is not there");
    }
    if (!opened.error.isEmpty()) {
        // Written over, what it holds would be lost.
        loaded.writable = false;
        // "places.json is a folder, not a file", "places.json: Permission denied"
        const bool phrase = opened.error.startsWith(QStringLiteral("a "))
            || opened.error.startsWith(QStringLiteral("larger "));
        loaded.problem =
            QStringLiteral("Saved places could not be read (%1%2%3).")
                .arg(name, phrase ? QStringLiteral(" is ") : QStringLiteral(": "), opened.error)
            + kKeptInMemory;
        return loaded;
    }
    const places::JsonRead read = places::fromJson(bytes);
    loaded.places = read.places;
    if (read.whole)
        return loaded;
    const QString stamp = path + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString backup = stamp;
    for (int copy = 2; QFileInfo::exists(backup) || QFileInfo(backup).isSymLink(); ++copy)
        backup = stamp + u'-' + QString::number(copy);
    if (const std::optional<QString> error = platform::writeFileAtomically(backup, bytes)) {
        loaded.writable = false;
        loaded.problem = QStringLiteral("The saved places file is damaged and could not be "
                                        "copied aside (%1), so it is left as it is; %2 could be "
                                        "read from it.")
                             .arg(*error, placeCount(loaded.places.size()))
            + kKeptInMemory;
        return loaded;
    }
    consoleLine(QStringLiteral("⚠️ Saved places were damaged: kept as %1, %2 read from it")
                    .arg(backup, placeCount(loaded.places.size())));
    loaded.note = QStringLiteral("The saved places file was damaged and was kept as %1; %2 could "
                                 "be read from it.")
                      .arg(QFileInfo(backup).fileName(), placeCount(loaded.places.size()));
    return loaded;
}

void SavedPlaces::finishLoading(const Loaded &read)
{
    // Places added while the file was read come after its own.
    const bool addedMeanwhile = !places_.isEmpty();
    places_ = addedMeanwhile ? read.places + places_ : read.places; // a million are not copied
    loaded_ = true;
    writable_ = read.writable;
    problem_ = read.problem;
    if (!read.note.isEmpty())
        note_ = read.note;
    deleted_.clear();
    ++generation_;
    if (addedMeanwhile || !read.note.isEmpty())
        save(); // a sound file again
    else
        writtenGeneration_ = generation_;
    Q_EMIT changed();
    Q_EMIT loaded();
}

QString SavedPlaces::statusLine() const
{
    if (problem_.isEmpty() || note_.isEmpty())
        return problem_ + note_;
    return problem_ + u'\n' + note_;
}

bool SavedPlaces::isSaved() const
{
    return loaded_ && writable_ && problem_.isEmpty() && writtenGeneration_ == generation_;
}

bool SavedPlaces::contains(CLLocationCoordinate2D coordinate) const
{
    return std::any_of(places_.cbegin(), places_.cend(), [&coordinate](const SavedPlace &place) {
        return place.coordinate == coordinate;
    });
}

void SavedPlaces::save()
{
    if (!loaded_ || !writable_)
        return;
    {
        std::lock_guard lock(writer_->mutex);
        writer_->pending = {places_, path_, generation_};
        if (writer_->running)
            return; // the running job takes it next
        writer_->running = true;
    }
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [writer = writer_, queue = queue_, self] {
            for (;;) {
                std::tuple<QList<SavedPlace>, QString, quint64> job;
                {
                    std::lock_guard lock(writer->mutex);
                    if (!writer->pending) {
                        writer->running = false;
                        return;
                    }
                    job = *std::exchange(writer->pending, std::nullopt);
                }
                const QList<SavedPlace> &places = std::get<0>(job);
                const QString path = std::get<1>(job);
                const quint64 generation = std::get<2>(job);
                QDir().mkpath(QFileInfo(path).absolutePath());
                const QString error =
                    platform::writeFileAtomically(path, places::toJson(places)).value_or(QString());
                queue.post([self, path, generation, error] {
                    if (self)
                        self->writeFinished(path, generation, error);
                });
            }
        });
}

void SavedPlaces::writeFinished(const QString &path, quint64 generation, const QString &error)
{
    if (path != path_)
        return; // a write to the file given up before
    if (error.isEmpty()) {
        writtenGeneration_ = std::max(writtenGeneration_, generation);
        if (problem_.startsWith(kWriteFailed))
            problem_.clear();
        Q_EMIT changed();
        return;
    }
    consoleLine(QStringLiteral("❌ ") + kWriteFailed + path_ + QStringLiteral(": ") + error);
    problem_ = kWriteFailed + error + u'.' + kKeptInMemory;
    Q_EMIT changed();
}

void SavedPlaces::changeTo(QList<SavedPlace> places, QString note)
{
    QList<SavedPlace> before = std::exchange(places_, std::move(places));
    // A long list is freed on a pool thread: a hundred thousand names take a while.
    if (before.size() > 10000)
        dispatch::runInBackground(dispatch::Priority::Background, [dead = std::move(before)] {});
    note_ = std::move(note);
    ++generation_;
    save();
    Q_EMIT changed();
}

void SavedPlaces::setNote(const QString &note)
{
    note_ = note;
    Q_EMIT changed();
}

void SavedPlaces::add(const SavedPlace &place)
{
    deleted_.clear();
    QList<SavedPlace> next = places_;
    next.append(place);
    changeTo(next, {});
}

void SavedPlaces::rename(qsizetype row, const QString &name)
{
    const QString trimmed = name.simplified();
    if (row < 0 || row >= places_.size() || trimmed.isEmpty() || trimmed == places_[row].name) {
        Q_EMIT changed(); // the list shows the name it had
        return;
    }
    deleted_.clear();
    QList<SavedPlace> next = places_;
    next[row].name = trimmed;
    changeTo(next, {});
}

void SavedPlaces::move(qsizetype from, qsizetype to)
{
    if (from < 0 || from >= places_.size() || to < 0 || to >= places_.size() || from == to)
        return;
    deleted_.clear();
    QList<SavedPlace> next = places_;
    next.move(from, to);
    changeTo(next, {});
}

void SavedPlaces::remove(qsizetype row)
{
    if (row < 0 || row >= places_.size())
        return;
    deleted_.append({row, places_[row]});
    QList<SavedPlace> next = places_;
    next.removeAt(row);
    changeTo(next, QStringLiteral("Deleted “%1”.").arg(deleted_.last().second.name));
}

void SavedPlaces::undoRemove()
{
    if (deleted_.isEmpty())
        return;
    const auto [row, place] = deleted_.takeLast();
    QList<SavedPlace> next = places_;
    next.insert(std::min(row, next.size()), place);
    changeTo(next, {});
}

void SavedPlaces::importFile(const QString &path)
{
    cancelImport();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    importCancel_ = cancel;
    const QString file = QFileInfo(path).fileName();
    setNote(QStringLiteral("Importing %1…").arg(file));
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [path, file, cancel, queue = queue_, self] {
            formats::ReadControl control;
            control.cancel = cancel.get();
            int shown = -1;
            control.progress = [&shown, &queue, self, file, cancel](double fraction) {
                const int percent = static_cast<int>(fraction * 100);
                if (percent == shown)
                    return;
                shown = percent;
                queue.post([self, file, percent, cancel] {
                    if (self && self->importCancel_ == cancel)
                        self->setNote(QStringLiteral("Importing %1… %2 %").arg(file).arg(percent));
                });
            };
            const formats::ReadResult read = formats::readFile(path, control);
            QList<SavedPlace> imported;
            QString skipped;
            if (read.document) {
                imported.reserve(read.document->waypoints.size());
                for (const formats::Waypoint &waypoint : read.document->waypoints) {
                    const QString name = waypoint.name.simplified();
                    imported.append(
                        {name.isEmpty() ? places::defaultName(waypoint.coordinate) : name,
                         waypoint.coordinate});
                }
                const qsizetype bad = read.document->badPointsIn(formats::Part::Waypoints);
                if (bad > 0) {
                    skipped = QStringLiteral(" %1 without a usable position skipped.")
                                  .arg(bad == 1 ? QStringLiteral("1 waypoint")
                                                : QStringLiteral("%1 waypoints").arg(bad));
                    for (const QString &problem : read.document->problems)
                        consoleLine(QStringLiteral("⚠️ Skipped: ") + problem);
                    if (read.document->badPointCount() > read.document->problems.size())
                        consoleLine(QStringLiteral("⚠️ … and %1 more")
                                        .arg(read.document->badPointCount()
                                             - read.document->problems.size()));
                }
            }
            // The document itself stays here: a long list of names is freed off the GUI thread.
            queue.post([self, file, cancelled = read.cancelled,
                        error = read.document ? QString() : read.error, imported, skipped, cancel] {
                if (!self || self->importCancel_ != cancel)
                    return;
                if (cancelled) {
                    self->importCancel_.reset();
                    self->setNote(QStringLiteral("Import of %1 cancelled.").arg(file));
                    Q_EMIT self->importFinished();
                    return;
                }
                if (!error.isEmpty()) {
                    self->importCancel_.reset();
                    consoleLine(QStringLiteral("❌ Could not import ") + error);
                    self->setNote(QStringLiteral("Could not import %1").arg(error));
                    Q_EMIT self->importFinished();
                    return;
                }
                self->mergeImport(file, imported, skipped);
            });
        });
}

void SavedPlaces::mergeImport(const QString &file, QList<SavedPlace> imported, QString skippedLine)
{
    if (imported.isEmpty() && skippedLine.isEmpty()) { // a track, say, but no waypoint
        importCancel_.reset();
        setNote(QStringLiteral("No places in %1: it holds no waypoints.").arg(file));
        Q_EMIT importFinished();
        return;
    }
    if (!loaded_) { // merged with the file's places once they are in
        connect(
            this, &SavedPlaces::loaded, this,
            [this, file, imported, skippedLine] { mergeImport(file, imported, skippedLine); },
            Qt::SingleShotConnection);
        return;
    }
    // Compared with the list in the background, where the file's places also go; the new ones
    // come back, and are compared once more should the list have changed meanwhile.
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [existing = places_, generation = generation_, imported = std::move(imported), file,
         skippedLine, cancel = importCancel_, queue = queue_, self] {
            const QList<SavedPlace> added = places::newPlaces(existing, imported);
            const QList<SavedPlace> merged = existing + added; // made here, not on the GUI thread
            queue.post(
                [self, generation, merged, count = added.size(), added, file, skippedLine, cancel] {
                    if (!self || self->importCancel_ != cancel)
                        return;
                    QList<SavedPlace> next = merged;
                    qsizetype addedCount = count;
                    if (self->generation_ != generation) {
                        const QList<SavedPlace> fresh = places::newPlaces(self->places_, added);
                        next = self->places_ + fresh;
                        addedCount = fresh.size();
                    }
                    self->importCancel_.reset();
                    self->deleted_.clear();
                    self->changeTo(
                        std::move(next),
                        QStringLiteral("Imported %1 from %2.").arg(placeCount(addedCount), file)
                            + skippedLine);
                    Q_EMIT self->importFinished();
                });
        });
}

void SavedPlaces::cancelImport()
{
    if (!importCancel_)
        return;
    importCancel_->store(true);
    importCancel_.reset();
    if (note_.startsWith(QStringLiteral("Importing ")))
        setNote(QStringLiteral("Import cancelled."));
}

void SavedPlaces::exportGpx(const QString &path)
{
    const QString done = QStringLiteral("Exported %1 to %2.")
                             .arg(placeCount(places_.size()), QFileInfo(path).fileName());
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [path, places = places_, done, queue = queue_, self] {
            formats::Document document;
            document.waypoints.reserve(places.size());
            for (const SavedPlace &place : places)
                document.waypoints.append({place.name, place.coordinate});
            const std::optional<QString> error = formats::writeGpxFile(path, document);
            queue.post([self, path, error, done] {
                if (!self)
                    return;
                self->setNote(error ? QStringLiteral("Could not export to %1: %2")
                                          .arg(QFileInfo(path).fileName(), *error)
                                    : done);
                Q_EMIT self->exportFinished();
            });
        });
}

void SavedPlaces::saveElsewhere(const QString &path)
{
    path_ = path;
    writable_ = true;
    problem_.clear();
    note_ = QStringLiteral("Saved places are kept in %1 until PinDrift closes.").arg(path);
    ++generation_;
    save();
    Q_EMIT changed();
}
