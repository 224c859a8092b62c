#include "ServiceRegistration.h"

#include "BackgroundWork.h"
#include "ServiceFailure.h"

#include <QPointer>

#include <functional>

namespace {

QString daemonName() {
    return QString::fromUtf8(daemonPlistName);
}

// Runs `work` in the background at `priority`; on failure sets `lastError` to `failurePrefix`
// and the description. Returns whether the model is still there.
QCoro::Task<bool> runServiceCall(QPointer<AppState> state, BackgroundPriority priority,
                                 std::function<void()> work, QString failurePrefix,
                                 bool clearErrorOnSuccess) {
    std::exception_ptr failure;
    try {
        co_await runInBackground(priority, std::move(work));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!state)
        co_return false;
    if (failure)
        state->setLastError(failurePrefix + serviceFailureDescription(failure));
    else if (clearErrorOnSuccess)
        state->setLastError(std::nullopt);
    co_return true;
}

QCoro::Task<> changeDaemonRegistration(AppState& state, void (AppService::*change)(),
                                       QString failurePrefix) {
    const QPointer<AppState> model(&state);
    auto work = [services = state.services(), change] {
        ((*services->daemonService(daemonName())).*change)();
    };
    if (co_await runServiceCall(model, BackgroundPriority::userInitiated, std::move(work),
                                std::move(failurePrefix), false))
        model->refresh();
}

QCoro::Task<> applyLaunchAtLogin(QPointer<AppState> state, bool enabled) {
    auto work = [services = state->services(), enabled] {
        const std::unique_ptr<AppService> loginItem = services->mainAppService();
        const bool isEnabled = loginItem->status() == ServiceStatus::enabled;
        if (enabled && !isEnabled)
            loginItem->registerService();
        else if (!enabled && isEnabled)
            loginItem->unregisterService();
    };
    QString failurePrefix = QStringLiteral("Couldn't change \"Launch at login\": ");
    co_await runServiceCall(state, BackgroundPriority::utility, std::move(work),
                            std::move(failurePrefix), true);
}

} // namespace

QCoro::Task<> installService(AppState& state) {
    return changeDaemonRegistration(state, &AppService::registerService,
                                    QStringLiteral("Couldn't install the background service: "));
}

QCoro::Task<> uninstallService(AppState& state) {
    return changeDaemonRegistration(state, &AppService::unregisterService,
                                    QStringLiteral("Couldn't remove the background service: "));
}

void setLaunchAtLogin(AppState& state, bool enabled) {
    state.setLaunchAtLogin(enabled);
    state.preferences().setLaunchAtLogin(enabled);
    applyLaunchAtLogin(&state, enabled);
}

QCoro::Task<> startRegisteredDaemon(AppState& state,
                                    std::shared_ptr<const LocalServiceManager> services) {
    const QPointer<AppState> model(&state);
    auto work = [services = std::move(services)] { services->startRegisteredDaemon(); };
    QString failurePrefix = QStringLiteral("Couldn't start the background service: ");
    if (co_await runServiceCall(model, BackgroundPriority::utility, std::move(work),
                                std::move(failurePrefix), false))
        model->refresh();
}
