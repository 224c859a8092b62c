#pragma once

// Administrator authorization as zidire checks it. An administrator's authorization leaves a
// token file in the authority directory, named by the hex of 32 random bytes; the application
// sends those bytes in Base64. A token counts only when its file is a regular file (no link)
// owned by the expected user, has one name and is fresh, and it counts once: a token presented
// is deleted, whether it counted or was refused for its age or its names.

#include <QString>

#include <chrono>
#include <optional>
#include <sys/types.h>

namespace zidire {

class AuthorityTokens {
public:
    static constexpr std::chrono::seconds defaultMaxAge{5 * 60};

    // `owner`: root in system mode (only root can write there), zidire's own uid in local mode.
    AuthorityTokens(QString directory, uid_t owner, std::chrono::seconds maxAge = defaultMaxAge);

    // Uses up the token that `authorization` names. Returns why it was refused, for the log
    // only (the client learns nothing beyond "refused"; the reason never names the token), or
    // nothing when it was accepted.
    std::optional<QString> consume(const QString& authorization) const;

    QString directory() const { return m_directory; }

private:
    QString m_directory;
    uid_t m_owner;
    std::chrono::seconds m_maxAge;
};

} // namespace zidire
