#include "AuthorityTokens.h"

#include "RelayContract.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace zidire {

namespace {

// A token dated ahead of the clock by more than this is refused as well: its age can't be known.
constexpr std::chrono::seconds allowedClockSkew{2};

std::chrono::nanoseconds sinceEpoch(const timespec& time) {
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

std::optional<QByteArray> tokenFromAuthorization(const QString& authorization) {
    // Padded Base64 of the token has exactly this length; anything else is refused undecoded.
    if (authorization.size() != (RelayContract::authorityTokenBytes + 2) / 3 * 4)
        return std::nullopt;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        authorization.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != RelayContract::authorityTokenBytes)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace

AuthorityTokens::AuthorityTokens(QString directory, uid_t owner, std::chrono::seconds maxAge)
    : m_directory(std::move(directory))
    , m_owner(owner)
    , m_maxAge(maxAge) {}

std::optional<QString> AuthorityTokens::consume(const QString& authorization) const {
    const std::optional<QByteArray> token = tokenFromAuthorization(authorization);
    if (!token)
        return QStringLiteral("the authorization isn't the Base64 of a %1-byte token")
            .arg(RelayContract::authorityTokenBytes);

    const QString path = QDir(m_directory).filePath(QString::fromLatin1(token->toHex()));
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(nativePath.constData(), &info) != 0)
        return QStringLiteral("no token %1: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("the token %1 isn't a regular file").arg(path);
    // A second name could be a hard link to a file someone else made for another purpose.
    if (info.st_nlink != 1)
        return QStringLiteral("the token %1 has more than one name").arg(path);
    if (info.st_uid != m_owner)
        return QStringLiteral("the token %1 belongs to uid %2, not %3")
            .arg(path)
            .arg(info.st_uid)
            .arg(m_owner);

    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = sinceEpoch(now) - sinceEpoch(info.st_mtim);
    if (age > m_maxAge)
        return QStringLiteral("the token %1 is older than %2 seconds")
            .arg(path)
            .arg(m_maxAge.count());
    if (age < -allowedClockSkew)
        return QStringLiteral("the token %1 is dated in the future").arg(path);

    if (::unlink(nativePath.constData()) != 0)
        return QStringLiteral("the token %1 can't be used up: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return std::nullopt;
}

} // namespace zidire
