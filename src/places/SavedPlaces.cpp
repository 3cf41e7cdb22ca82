#include "places/SavedPlaces.h"

#include "places/Gpx.h"
#include "platform/Console.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSaveFile>
#include <cmath>
#include <mutex>
#include <optional>

namespace {

const QString kWriteFailed = QStringLiteral("Saved places could not be written: ");

QString placeCount(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 place") : QStringLiteral("%1 places").arg(count);
}

} // namespace

namespace places {

QString defaultName(CLLocationCoordinate2D coordinate)
{
    return QString::number(coordinate.latitude, 'f', 5) + QStringLiteral(", ")
        + QString::number(coordinate.longitude, 'f', 5);
}

QByteArray toJson(const QList<SavedPlace> &places)
{
    QJsonArray list;
    for (const SavedPlace &place : places) {
        list.append(QJsonObject {{QStringLiteral("name"), place.name},
                                 {QStringLiteral("latitude"), place.coordinate.latitude},
                                 {QStringLiteral("longitude"), place.coordinate.longitude}});
    }
    return QJsonDocument(
               QJsonObject {{QStringLiteral("version"), 1}, {QStringLiteral("places"), list}})
        .toJson(QJsonDocument::Indented);
}

JsonRead fromJson(const QByteArray &bytes)
{
    JsonRead read;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonValue list = document.object().value(QLatin1StringView("places"));
    if (error.error != QJsonParseError::NoError || !list.isArray())
        return read;
    read.whole = document.object().value(QLatin1StringView("version")).toInt() == 1;
    const QJsonArray entries = list.toArray();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        const QJsonValue name = object.value(QLatin1StringView("name"));
        const double latitude = object.value(QLatin1StringView("latitude")).toDouble(NAN);
        const double longitude = object.value(QLatin1StringView("longitude")).toDouble(NAN);
        if (!name.isString() || !(std::fabs(latitude) <= 90.0)
            || !(std::fabs(longitude) <= 180.0)) {
            read.whole = false;
            continue;
        }
        read.places.append({name.toString(), {latitude, longitude}});
    }
    return read;
}

QString writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    // Unbuffered, so a full disk shows in the write itself: a buffered QSaveFile flushes at
    // commit() and would put a cut-short file in place without a word.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 step = file.write(bytes.constData() + written, bytes.size() - written);
        if (step <= 0) {
            const QString error = file.errorString();
            file.cancelWriting(); // the old file stays as it was
            return error;
        }
        written += step;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

} // namespace places

struct SavedPlaces::Writer
{
    std::mutex mutex;
    std::optional<QByteArray> pending; // the newest content not yet taken by the writing job
    bool running = false;
};

SavedPlaces::SavedPlaces(const QString &folder, QObject *parent)
    : QObject(parent)
    , path_(QDir(folder).filePath(QStringLiteral("places.json")))
    , writer_(std::make_shared<Writer>())
    , queue_(this)
{
    load();
}

SavedPlaces::~SavedPlaces()
{
    // A write under way finishes on its own; only its report is dropped.
    queue_.close();
}

bool SavedPlaces::contains(CLLocationCoordinate2D coordinate) const
{
    return std::any_of(places_.cbegin(), places_.cend(), [&coordinate](const SavedPlace &place) {
        return place.coordinate == coordinate;
    });
}

void SavedPlaces::load()
{
    QFile file(path_);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        // Written over, it would be lost: the places of this session stay in memory.
        writable_ = false;
        setStatusLine(QStringLiteral("Saved places could not be read (%1); changes will not be "
                                     "saved.")
                          .arg(file.errorString()));
        return;
    }
    const places::JsonRead read = places::fromJson(file.readAll());
    file.close();
    places_ = read.places;
    if (read.whole)
        return;
    const QString stamp = path_ + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString backup = stamp;
    for (int copy = 2; QFile::exists(backup); ++copy)
        backup = stamp + u'-' + QString::number(copy);
    if (!QFile::copy(path_, backup)) {
        writable_ = false;
        setStatusLine(QStringLiteral("Saved places are damaged and could not be copied aside; "
                                     "changes will not be saved."));
        return;
    }
    consoleLine(QStringLiteral("⚠️ Saved places were damaged: kept as %1, %2 read from it")
                    .arg(backup, placeCount(places_.size())));
    setStatusLine(QStringLiteral("The saved places file was damaged and was kept as %1; %2 could "
                                 "be read from it.")
                      .arg(QFileInfo(backup).fileName(), placeCount(places_.size())));
    save(); // a sound file again, with what could be read
}

void SavedPlaces::save()
{
    if (!writable_)
        return;
    {
        std::lock_guard lock(writer_->mutex);
        writer_->pending = places::toJson(places_);
        if (writer_->running)
            return; // the running job takes it next
        writer_->running = true;
    }
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [writer = writer_, path = path_, queue = queue_, self] {
            for (;;) {
                QByteArray bytes;
                {
                    std::lock_guard lock(writer->mutex);
                    if (!writer->pending) {
                        writer->running = false;
                        return;
                    }
                    bytes = *std::exchange(writer->pending, std::nullopt);
                }
                const QString error = places::writeFileAtomically(path, bytes);
                queue.post([self, error] {
                    if (self)
                        self->writeFinished(error);
                });
            }
        });
}

void SavedPlaces::writeFinished(const QString &error)
{
    if (error.isEmpty()) {
        if (statusLine_.startsWith(kWriteFailed))
            setStatusLine({});
        return;
    }
    consoleLine(QStringLiteral("❌ ") + kWriteFailed + path_ + QStringLiteral(": ") + error);
    setStatusLine(kWriteFailed + error);
}

void SavedPlaces::changeTo(QList<SavedPlace> places, QString statusLine)
{
    places_ = std::move(places);
    statusLine_ = std::move(statusLine);
    save();
    Q_EMIT changed();
}

void SavedPlaces::setStatusLine(const QString &line)
{
    statusLine_ = line;
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

void SavedPlaces::importGpx(const QString &path)
{
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(dispatch::Priority::UserInitiated, [path, queue = queue_, self] {
        QFile file(path);
        gpx::Waypoints read;
        if (file.open(QIODevice::ReadOnly))
            read = gpx::readWaypoints(file.readAll());
        else
            read.error = file.errorString();
        queue.post([self, path, read] {
            if (self)
                self->applyImport(path, read);
        });
    });
}

void SavedPlaces::applyImport(const QString &path, const gpx::Waypoints &read)
{
    const QString file = QFileInfo(path).fileName();
    if (!read.error.isEmpty()) {
        setStatusLine(QStringLiteral("Could not import %1: %2").arg(file, read.error));
        Q_EMIT importFinished();
        return;
    }
    QList<SavedPlace> next = places_;
    qsizetype added = 0;
    for (const SavedPlace &place : read.places) {
        if (!next.contains(place)) {
            next.append(place);
            ++added;
        }
    }
    QString line = QStringLiteral("Imported %1 from %2.").arg(placeCount(added), file);
    if (read.skipped > 0)
        line += QStringLiteral(" %1 without a usable position skipped.")
                    .arg(read.skipped == 1 ? QStringLiteral("1 waypoint")
                                           : QStringLiteral("%1 waypoints").arg(read.skipped));
    deleted_.clear();
    changeTo(next, line);
    Q_EMIT importFinished();
}

void SavedPlaces::exportGpx(const QString &path)
{
    const QByteArray bytes = gpx::writeWaypoints(places_);
    const QString done = QStringLiteral("Exported %1 to %2.")
                             .arg(placeCount(places_.size()), QFileInfo(path).fileName());
    const QPointer<SavedPlaces> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [path, bytes, done, queue = queue_, self] {
            const QString error = places::writeFileAtomically(path, bytes);
            queue.post([self, path, error, done] {
                if (!self)
                    return;
                self->setStatusLine(error.isEmpty() ? done
                                                    : QStringLiteral("Could not export to %1: %2")
                                                          .arg(QFileInfo(path).fileName(), error));
                Q_EMIT self->exportFinished();
            });
        });
}
