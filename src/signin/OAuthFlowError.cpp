#include "OAuthFlowError.h"

OAuthFlowError::OAuthFlowError(Kind kind, const QString& detail)
    : m_kind(kind)
    , m_detail(detail)
    , m_what(description().toUtf8()) {}

QString OAuthFlowError::description() const {
    switch (m_kind) {
    case Kind::providerError:
        return QStringLiteral("the provider returned an error: ") + m_detail;
    case Kind::exchangeFailed:
        return QStringLiteral("could not exchange the authorization code: ") + m_detail;
    case Kind::timedOut:
        return QStringLiteral("timed out waiting for the browser sign-in");
    case Kind::stateMismatch:
        return QStringLiteral("state mismatch in the sign-in callback (possible CSRF); aborted");
    case Kind::missingCode:
        return QStringLiteral("the sign-in callback had no authorization code");
    case Kind::noRefreshToken:
        return QStringLiteral("the provider did not return a refresh token (try signing in again)");
    }
    Q_UNREACHABLE();
    return {};
}
