#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QFile;
class QFileDevice;

// Files the user keeps and files the user hands us.
namespace platform {

// Runs on the fresh file once every byte is in it, before it replaces the old one: may change
// it (its permissions) and answer an error to give up.
using BeforeCommit = std::function<std::optional<QString>(QFileDevice &file)>;

// The one way to write a file the user keeps: through a fresh file in the same folder that
// replaces `path` only once it is complete (QSaveFile), so a crash or a full disk never leaves
// half a file. Written unbuffered, so that a full disk shows in the write itself rather than in
// a flush nobody checks. Answers the error, or nothing once written.
std::optional<QString> writeFileAtomically(const QString &path, const QByteArray &bytes,
                                           const BeforeCommit &beforeCommit = {});

// A file handed to us to read, opened only when it is a regular file no larger than
// `maxBytes` (none: any size): a pipe would block the reader for ever, a device never end.
struct OpenedFile
{
    std::unique_ptr<QFile> file; // open for reading; null on failure
    qint64 size = 0;
    // Why not, without the file's name: "a folder, not a file", "larger than 200 MB", or the
    // system's word ("No such file or directory").
    QString error;
};
OpenedFile openRegularFile(const QString &path, qint64 maxBytes = 0);

// "200 MB", "1.5 kB": a size as the limits above speak of it.
QString sizeText(qint64 bytes);

} // namespace platform
