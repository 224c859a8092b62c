#include "PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

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
