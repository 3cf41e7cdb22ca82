#include "platform/Files.h"

#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why a file of this mode is not read; empty for a regular file.
QString notRegular(mode_t mode)
{
    if (S_ISREG(mode))
        return {};
    if (S_ISDIR(mode))
        return QStringLiteral("a folder, not a file");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe, not a file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device, not a file");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket, not a file");
    return QStringLiteral("not a regular file");
}

} // namespace

std::optional<QString> writeFileAtomically(const QString &path, const QByteArray &bytes,
                                           const BeforeCommit &beforeCommit)
{
    QSaveFile file(path);
    // Unbuffered: a buffered QSaveFile writes at commit() and a short write there would go
    // unnoticed.
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
    if (beforeCommit) {
        if (std::optional<QString> error = beforeCommit(file)) {
            file.cancelWriting();
            return error;
        }
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

OpenedFile openRegularFile(const QString &path, qint64 maxBytes)
{
    OpenedFile opened;
    const QByteArray name = QFile::encodeName(path);
    // Looked at before it is opened, since opening some devices already does something; and
    // again once open, which is what counts should the name have changed hands in between.
    struct stat info
    {
    };
    if (::stat(name.constData(), &info) != 0) {
        opened.error = systemError(errno);
        return opened;
    }
    if (QString why = notRegular(info.st_mode); !why.isEmpty()) {
        opened.error = why;
        return opened;
    }
    // Non-blocking, so that a pipe put there meanwhile cannot hold the open.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        opened.error = systemError(errno);
        return opened;
    }
    QString why;
    if (::fstat(fd, &info) != 0)
        why = systemError(errno);
    else
        why = notRegular(info.st_mode);
    if (why.isEmpty() && maxBytes > 0 && info.st_size > maxBytes)
        why = QStringLiteral("larger than ") + sizeText(maxBytes);
    if (why.isEmpty() && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = systemError(errno);
    auto file = std::make_unique<QFile>();
    if (why.isEmpty() && !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        why = file->errorString();
    if (!why.isEmpty()) {
        if (!file->isOpen())
            ::close(fd);
        opened.error = why;
        return opened;
    }
    opened.file = std::move(file);
    opened.size = static_cast<qint64>(info.st_size);
    return opened;
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 kB = 1000, MB = 1000 * kB;
    if (bytes >= MB)
        return QString::number(static_cast<double>(bytes) / MB, 'g', 3) + QStringLiteral(" MB");
    if (bytes >= kB)
        return QString::number(static_cast<double>(bytes) / kB, 'g', 3) + QStringLiteral(" kB");
    return QString::number(bytes) + QStringLiteral(" bytes");
}

} // namespace platform
