#include "platform/HolderRecords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <csignal>
#include <thread>
#include <unistd.h>

#ifdef Q_OS_MACOS
#include <libproc.h>
#endif

using namespace std::chrono;

namespace holders {

namespace {

const QString kSuffix = QStringLiteral(".holder");

QString recordPath(const QString &folder, pid_t pid)
{
    return QDir(folder).filePath(QString::number(pid) + kSuffix);
}

struct Record
{
    pid_t pid = 0;
    QByteArray stamp;
    pid_t owner = 0;
    QByteArray ownerStamp;
    int stopSignal = SIGTERM;
    QString program;
};

std::optional<Record> readRecord(const QString &path)
{
    QFile file(path);
    // Records are tiny; anything larger is not ours.
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() > 4096
        || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    Record record;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype blank = line.indexOf(' ');
        if (blank <= 0)
            continue;
        const QByteArray key = line.left(blank);
        const QByteArray value = line.mid(blank + 1);
        if (key == "pid")
            record.pid = value.toInt();
        else if (key == "stamp")
            record.stamp = value;
        else if (key == "owner")
            record.owner = value.toInt();
        else if (key == "ownerStamp")
            record.ownerStamp = value;
        else if (key == "signal")
            record.stopSignal = value.toInt();
        else if (key == "program")
            record.program = QString::fromUtf8(value);
    }
    if (record.pid <= 0 || record.owner <= 0 || record.stamp.isEmpty())
        return std::nullopt;
    return record;
}

bool sameProcess(pid_t pid, const QByteArray &stamp)
{
    const std::optional<QByteArray> now = startStamp(pid);
    return now && *now == stamp;
}

} // namespace

std::optional<QByteArray> startStamp(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
#ifdef Q_OS_MACOS
    proc_bsdinfo info {};
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof(info)) != sizeof(info)
        || info.pbi_status == SZOMB)
        return std::nullopt;
    return QByteArray::number(static_cast<qulonglong>(info.pbi_start_tvsec)) + '.'
        + QByteArray::number(static_cast<qulonglong>(info.pbi_start_tvusec));
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.readAll();
    // "pid (name) state ppid ...": the name may hold blanks and parentheses, so count from the
    // last ')'. The state is field 3, the start time field 22.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    return fields[19];
#endif
}

void note(const QString &folder, const std::shared_ptr<ChildProcess> &process, int stopSignal)
{
    if (!process || folder.isEmpty())
        return;
    const pid_t pid = process->processId();
    const std::optional<QByteArray> stamp = startStamp(pid);
    const std::optional<QByteArray> ownStamp = startStamp(getpid());
    if (!stamp || !ownStamp || !QDir().mkpath(folder))
        return;
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString path = recordPath(folder, pid);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write("pid " + QByteArray::number(pid) + "\nstamp " + *stamp + "\nowner "
               + QByteArray::number(getpid()) + "\nownerStamp " + *ownStamp + "\nsignal "
               + QByteArray::number(stopSignal) + "\nprogram " + process->program().toUtf8()
               + '\n');
    if (!file.commit())
        return;
    process->whenEnded([path] { QFile::remove(path); });
}

QList<Ended> endOrphans(const QString &folder, milliseconds grace)
{
    QList<Ended> ended;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*") + kSuffix}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        const QString path = QDir(folder).filePath(name);
        const std::optional<Record> record = readRecord(path);
        if (!record) {
            QFile::remove(path);
            continue;
        }
        if (sameProcess(record->owner, record->ownerStamp))
            continue; // its PinDrift still runs
        if (sameProcess(record->pid, record->stamp)) {
            ::kill(record->pid, record->stopSignal);
            const auto deadline = steady_clock::now() + grace;
            while (sameProcess(record->pid, record->stamp) && steady_clock::now() < deadline)
                std::this_thread::sleep_for(milliseconds(20));
            // It led its own process group: whatever it started goes with it.
            if (sameProcess(record->pid, record->stamp))
                ::kill(-record->pid, SIGKILL);
            ended.append({record->pid, QFileInfo(record->program).fileName()});
        }
        QFile::remove(path);
    }
    return ended;
}

} // namespace holders
