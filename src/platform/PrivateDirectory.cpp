#include "PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

void createPrivateDirectory(const QString& path) {
    const QString absolute = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    if (QFileInfo(absolute).isDir())
        return;
    const QString parent = QFileInfo(absolute).absolutePath();
    if (parent != absolute)
        createPrivateDirectory(parent);
    const QByteArray native = QFile::encodeName(absolute);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        throw PrivateDirectoryError(
            QStringLiteral("can't create the folder %1: %2")
                .arg(absolute, QString::fromLocal8Bit(std::strerror(errno))));
    if (!QFileInfo(absolute).isDir())
        throw PrivateDirectoryError(
            QStringLiteral("%1 is in the way of a folder of that name").arg(absolute));
}

void requirePrivateDirectory(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        throw PrivateDirectoryError(QStringLiteral("can't look at the folder %1: %2")
                                        .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (!S_ISDIR(info.st_mode))
        throw PrivateDirectoryError(QStringLiteral("%1 is not a folder").arg(path));
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        throw PrivateDirectoryError(
            QStringLiteral("the folder %1 belongs to user %2; it must be yours or root's")
                .arg(path)
                .arg(info.st_uid));
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        throw PrivateDirectoryError(
            QStringLiteral("the folder %1 has mode %2; nobody but its owner may use it (0700)")
                .arg(path)
                .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
}
