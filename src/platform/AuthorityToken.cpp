#include "AuthorityToken.h"

#include "PrivateDirectory.h"
#include "RelayContract.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray randomBytes() {
    using RelayContract::authorityTokenBytes;
    std::array<quint32, authorityTokenBytes / sizeof(quint32)> words{};
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    return QByteArray(reinterpret_cast<const char*>(words.data()), authorityTokenBytes);
}

} // namespace

QByteArray mintAuthorityToken(const QString& directory) {
    try {
        createPrivateDirectory(directory);
        requirePrivateDirectory(directory);
    } catch (const PrivateDirectoryError& error) {
        throw AuthorityTokenError(QString::fromStdString(error.what()));
    }

    const QByteArray token = randomBytes();
    const QString path = QDir(directory).filePath(QString::fromLatin1(token.toHex()));
    // O_EXCL and O_NOFOLLOW: the name is new, so anything already there was put in the way.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw AuthorityTokenError(
            QStringLiteral("can't create the token %1: %2").arg(path, errnoText(errno)));
    // The mode asked of open() is masked by the umask; the token must be exactly 0600.
    const bool written = ::fchmod(fd, 0600) == 0 &&
                         ::write(fd, token.constData(), size_t(token.size())) == token.size();
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(QFile::encodeName(path).constData());
        throw AuthorityTokenError(
            QStringLiteral("can't write the token %1: %2").arg(path, errnoText(error)));
    }
    return token;
}
