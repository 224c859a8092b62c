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

    // The file's name is the token itself: no reason below names it, and it never reaches the
    // log.
    const QByteArray nativePath =
        QFile::encodeName(QDir(m_directory).filePath(QString::fromLatin1(token->toHex())));
    struct stat info {};
    if (::lstat(nativePath.constData(), &info) != 0)
        return QStringLiteral("no such token: %1")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    // Neither a link nor someone else's file is a token the authorization helper made; they are
    // not zidire's to remove.
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("the token isn't a regular file");
    if (info.st_uid != m_owner)
        return QStringLiteral("the token belongs to uid %1, not %2").arg(info.st_uid).arg(m_owner);

    // From here on the token counts as presented, and a presented token is used up whether it
    // is taken or not: nothing is left to be tried again.
    std::optional<QString> refused;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = sinceEpoch(now) - sinceEpoch(info.st_mtim);
    // A second name could be a hard link to a file someone else made for another purpose;
    // removing this name leaves that file as it is.
    if (info.st_nlink != 1)
        refused = QStringLiteral("the token has more than one name");
    else if (age > m_maxAge)
        refused = QStringLiteral("the token is older than %1 seconds").arg(m_maxAge.count());
    else if (age < -allowedClockSkew)
        refused = QStringLiteral("the token is dated in the future");

    if (::unlink(nativePath.constData()) != 0) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        return refused ? *refused + QStringLiteral("; it can't be removed: ") + error
                       : QStringLiteral("the token can't be used up: %1").arg(error);
    }
    return refused;
}

} // namespace zidire
