#include "ConnectivityMessage.h"

#include "ControlClientError.h"
#include "ControlCodec.h"

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
            return cannotReach(e.description());
        }
    } catch (const ControlDecodingError& e) {
        return cannotReach(e.description());
    } catch (const std::exception& e) {
        return cannotReach(QString::fromUtf8(e.what()));
    } catch (...) {
        return cannotReach(QStringLiteral("unknown error"));
    }
}
