#include "ConnectivityMessage.h"

#include "ControlClientError.h"
#include "ErrorDescription.h"

namespace {

QString cannotReach(const QString& description) {
    return QStringLiteral("Can't reach zidire: ") + description;
}

} // namespace

std::optional<QString> connectivityMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ControlClientError& e) {
        switch (e.kind()) {
        case ControlClientError::Kind::notRunning:
            return std::nullopt;
        case ControlClientError::Kind::permissionDenied:
            return QStringLiteral(
                "The background service is running but denied this app access to its control "
                "socket. It's probably an older zidire version — reinstall the service "
                "(Uninstall, then Install) to update it.");
        default:
            break;
        }
    } catch (...) {
    }
    return cannotReach(errorDescription(error));
}
