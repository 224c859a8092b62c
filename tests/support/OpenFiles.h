#pragma once

// The sizes of the regular files this process holds open in `directory`, named or not: a file
// without a name shows in /proc as "<directory>/#<inode> (deleted)".

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <sys/stat.h>
#include <unistd.h>

inline QList<qint64> openFileSizesIn(const QString& directory) {
    const QByteArray inside = QFile::encodeName(QFileInfo(directory).canonicalFilePath()) + '/';
    QList<qint64> sizes;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString& name : descriptors.entryList(QDir::AllEntries | QDir::System)) {
        const QByteArray link = QFile::encodeName(descriptors.filePath(name));
        char target[4096];
        const ssize_t length = ::readlink(link.constData(), target, sizeof target);
        struct stat status {};
        if (length > 0 && QByteArray(target, length).startsWith(inside) &&
            ::stat(link.constData(), &status) == 0 && S_ISREG(status.st_mode))
            sizes.append(status.st_size);
    }
    return sizes;
}
