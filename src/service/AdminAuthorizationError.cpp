#include "AdminAuthorizationError.h"

AdminAuthorizationError::AdminAuthorizationError(Kind kind, OSStatus status)
    : m_kind(kind)
    , m_status(status)
    , m_what(description().toUtf8()) {}

QString AdminAuthorizationError::description() const {
    switch (m_kind) {
    case Kind::failed:
        return QStringLiteral("authorization failed (OSStatus %1)").arg(m_status);
    case Kind::canceled:
        return QStringLiteral("authorization canceled");
    }
    Q_UNREACHABLE();
    return {};
}
