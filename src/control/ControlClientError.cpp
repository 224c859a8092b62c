#include "ControlClientError.h"

ControlClientError::ControlClientError(Kind kind, const QString& detail)
    : m_kind(kind)
    , m_detail(detail)
    , m_what(description().toUtf8()) {}

QString ControlClientError::description() const {
    switch (m_kind) {
    case Kind::connectFailed:
        return QStringLiteral("could not connect to zidire: ") + m_detail;
    case Kind::ioFailed:
        return QStringLiteral("control socket I/O failed: ") + m_detail;
    case Kind::serverError:
        return m_detail;
    case Kind::socketCreateFailed:
        return QStringLiteral("could not create a Unix socket");
    case Kind::pathTooLong:
        return QStringLiteral("control socket path is too long");
    case Kind::permissionDenied:
        return QStringLiteral("zidire's control socket denied access (permission denied)");
    case Kind::notRunning:
        return QStringLiteral("zidire's control socket isn't answering — the background service "
                              "isn't running");
    case Kind::emptyResponse:
        return QStringLiteral("zidire closed the connection with no response");
    }
    Q_UNREACHABLE();
    return {};
}
