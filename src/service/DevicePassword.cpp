#include "DevicePassword.h"

#include "AdminAuthorization.h"
#include "BackgroundWork.h"
#include "ErrorDescription.h"

#include <QPointer>

QCoro::Task<std::optional<QString>>
revealDevicePassword(AppState& state, std::shared_ptr<AuthorizationServices> authorization) {
    const QPointer<AppState> model(&state);
    auto work = [client = state.controlClient(), authorization = std::move(authorization)] {
        const AdminAuthorization rights(authorization);
        const ControlResponse response = client.send(devicePasswordRequest(rights));
        if (!response.ok || !response.devicePassword)
            throw ControlClientError::serverError(
                response.error.value_or(QStringLiteral("zidire returned no password")));
        return *response.devicePassword;
    };

    std::exception_ptr failure;
    try {
        co_return co_await runInBackground(BackgroundPriority::userInitiated, std::move(work));
    } catch (const AdminAuthorizationError& error) {
        if (error.kind() == AdminAuthorizationError::Kind::canceled)
            co_return std::nullopt;
        failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    if (model)
        model->setLastError(QStringLiteral("Couldn't show the device password: ") +
                            errorDescription(failure));
    co_return std::nullopt;
}
