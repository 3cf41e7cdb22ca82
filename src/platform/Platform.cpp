#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifdef Q_OS_MACOS
#include <sys/sysctl.h>
#endif

namespace platform {

bool appleDeviceOnUsb(const QString &usbDevicesFolder)
{
    // As udev's rule for usbmuxd: vendor 05ac, product 12[9a]x or 8600 (an Apple keyboard or
    // mouse has the vendor, not those products).
    const QDir folder(usbDevicesFolder);
    const auto read = [&folder](const QString &device, const char *file) {
        QFile value(folder.filePath(device + QLatin1Char('/') + QLatin1StringView(file)));
        return value.open(QIODevice::ReadOnly) ? value.read(16).trimmed().toLower()
                                               : QByteArray();
    };
    for (const QString &device :
         folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        if (read(device, "idVendor") != "05ac")
            continue;
        const QByteArray product = read(device, "idProduct");
        if (product == "8600"
            || (product.size() == 4 && product.startsWith("12")
                && (product[2] == '9' || product[2] == 'a')))
            return true;
    }
    return false;
}

QString architectureFolderName()
{
#ifdef Q_OS_MACOS
    int value = 0;
    size_t size = sizeof(value);
    if (sysctlbyname("hw.optional.arm64", &value, &size, nullptr, 0) == 0 && value == 1)
        return QStringLiteral("silicon");
    return QStringLiteral("intel");
#else
    struct utsname name
    {
    };
    if (uname(&name) == 0) {
        const QByteArray machine(name.machine);
        if (machine == "aarch64" || machine == "arm64")
            return QStringLiteral("silicon");
    }
    return QStringLiteral("intel");
#endif
}

QString resourceFolderPath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
#ifdef Q_OS_MACOS
    const QStringList candidates {appDir + QStringLiteral("/../Resources/tool_extras")};
#else
    const QStringList candidates {appDir + QStringLiteral("/../share/pindrift/tool_extras"),
                                  appDir + QStringLiteral("/tool_extras")};
#endif
    for (const QString &candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isDir())
            return info.canonicalFilePath();
    }
    return QString();
}

namespace {

bool isPrivateFolderOfOurs(const QByteArray &path)
{
    struct stat st
    {
    };
    return lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid()
        && (st.st_mode & 077) == 0;
}

} // namespace

QString temporaryFolder()
{
    static const QString folder = [] {
#ifdef Q_OS_MACOS
        // $TMPDIR is already per user on macOS.
        QString path = QDir::tempPath();
#else
        QString path;
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (!runtime.isEmpty() && isPrivateFolderOfOurs(runtime)) {
            path = QString::fromLocal8Bit(runtime);
        } else {
            // /tmp is shared between users: use a folder of our own that nobody else can enter.
            path = QDir::tempPath() + QStringLiteral("/pindrift-") + QString::number(getuid());
            QByteArray encoded = QFile::encodeName(path);
            mkdir(encoded.constData(), 0700);
            if (!isPrivateFolderOfOurs(encoded)) {
                // Someone else holds that name: take a fresh, unguessable one instead.
                encoded = QFile::encodeName(path + QStringLiteral("-XXXXXX"));
                if (mkdtemp(encoded.data()))
                    path = QFile::decodeName(encoded);
            }
        }
#endif
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        return path;
    }();
    return folder;
}

QString shellPath()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("/bin/zsh");
#else
    return QStringLiteral("/bin/sh");
#endif
}

} // namespace platform
