// The user actions of AppState: each does its slow work in the background and reports back on the
// model.

#include "AdminAuthorization.h"
#include "AppState.h"
#include "ErrorDescription.h"
#include "SignInHandOver.h"

#include <QPointer>

QCoro::Task<> AppState::runAction(BackgroundPriority priority, std::function<void()> work,
                                  ActionReport report) {
    // The model may go away while the work runs; nothing is written then.
    const QPointer<AppState> self(this);
    std::exception_ptr failure;
    try {
        co_await runInBackground(priority, std::move(work));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        setLastError(report.failurePrefix + errorDescription(failure));
    } else {
        if (report.successClearsLastError)
            setLastError(std::nullopt);
        if (report.successMessage)
            setInfoMessage(report.successMessage);
    }
    if (report.refreshes)
        refresh();
}

void AppState::startAction(BackgroundPriority priority, std::function<void()> work,
                           ActionReport report) {
    setInfoMessage(std::nullopt);
    runAction(priority, std::move(work), std::move(report));
}

QCoro::Task<> AppState::changeDaemonRegistration(void (AppService::*change)(),
                                                 QString failurePrefix) {
    auto work = [services = m_platform.services, change] {
        ((*services->daemonService(QString::fromUtf8(daemonPlistName))).*change)();
    };
    return runAction(BackgroundPriority::userInitiated, std::move(work),
                     {.failurePrefix = std::move(failurePrefix), .successClearsLastError = false});
}

QCoro::Task<> AppState::installService() {
    return changeDaemonRegistration(&AppService::registerService,
                                    QStringLiteral("Couldn't install the background service: "));
}

QCoro::Task<> AppState::uninstallService() {
    return changeDaemonRegistration(&AppService::unregisterService,
                                    QStringLiteral("Couldn't remove the background service: "));
}

void AppState::setLaunchAtLogin(bool enabled) {
    assign(m_launchAtLogin, enabled, &AppState::launchAtLoginChanged);
    m_preferences->setLaunchAtLogin(enabled);
    auto work = [services = m_platform.services, enabled] {
        const std::unique_ptr<AppService> loginItem = services->mainAppService();
        const bool isEnabled = loginItem->status() == ServiceStatus::enabled;
        if (enabled && !isEnabled)
            loginItem->registerService();
        else if (!enabled && isEnabled)
            loginItem->unregisterService();
    };
    runAction(BackgroundPriority::utility, std::move(work),
              {.failurePrefix = QStringLiteral("Couldn't change \"Launch at login\": "),
               .refreshes = false});
}

QCoro::Task<> AppState::startRegisteredDaemon() {
    auto work = [services = m_platform.services] { services->startRegisteredDaemon(); };
    return runAction(BackgroundPriority::utility, std::move(work),
                     {.failurePrefix = QStringLiteral("Couldn't start the background service: "),
                      .successClearsLastError = false});
}

void AppState::openSystemSettingsLoginItems() {
    auto work = [services = m_platform.services] { services->openSystemSettingsLoginItems(); };
    runAction(BackgroundPriority::userInitiated, std::move(work),
              {.failurePrefix = QString(), .successClearsLastError = false});
}

QCoro::Task<> AppState::saveSender(QString provider, QString fromAddress) {
    auto work = [client = m_controlClient, provider, fromAddress] {
        client.updateSender(provider, fromAddress);
    };
    return runAction(BackgroundPriority::utility, std::move(work),
                     {.failurePrefix = QStringLiteral("Couldn't save sender settings: ")});
}

QCoro::Task<> AppState::saveDeviceAccount(QString username, QString password) {
    auto work = [client = m_controlClient, username, password] {
        client.setDeviceUser(username, password);
    };
    return runAction(BackgroundPriority::utility, std::move(work),
                     {.failurePrefix = QStringLiteral("Couldn't save the device account: ")});
}

void AppState::saveListenHost(QString host) {
    startAction(BackgroundPriority::utility,
                [client = m_controlClient, host] { client.setListenHost(host); },
                {.failurePrefix = QStringLiteral("Couldn't change the listening address: "),
                 .successMessage = QStringLiteral(
                     "Listening address saved — the background service is restarting…")});
}

void AppState::sendTestEmail(QString recipient) {
    startAction(BackgroundPriority::userInitiated,
                [client = m_controlClient, recipient] { client.testSend(recipient); },
                {.failurePrefix = QStringLiteral("Test send failed: "),
                 .successMessage = QStringLiteral("Test email sent to ") + recipient + u'.'});
}

void AppState::retryQueue() {
    startAction(BackgroundPriority::userInitiated,
                [client = m_controlClient] { client.retryNow(); },
                {.failurePrefix = QStringLiteral("Couldn't retry the queue: "),
                 .successMessage = QStringLiteral("Retrying queued messages…")});
}

QCoro::Task<QString> AppState::readLog() {
    auto work = [client = m_controlClient] { return client.fetchLog(); };
    try {
        co_return co_await runInBackground(BackgroundPriority::userInitiated, std::move(work));
    } catch (...) {
        co_return QStringLiteral("Couldn't read the log: ") +
            errorDescription(std::current_exception());
    }
}

QCoro::Task<std::optional<QString>> AppState::revealDevicePassword() {
    const QPointer<AppState> self(this);
    auto work = [client = m_controlClient, authorization = m_platform.authorization] {
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
    if (self)
        setLastError(QStringLiteral("Couldn't show the device password: ") +
                     errorDescription(failure));
    co_return std::nullopt;
}

void AppState::signIn(QString provider) {
    std::optional<OAuthProviderApp> app = m_signIn.providerApp(provider);
    if (!app) {
        setLastError(QStringLiteral("Sign-in isn't available for ") + provider +
                     QStringLiteral(" yet."));
        return;
    }
    setSigningIn(true);
    completeSignIn(std::move(*app), std::move(provider));
}

QCoro::Task<> AppState::completeSignIn(OAuthProviderApp app, QString provider) {
    const QPointer<AppState> self(this);
    const QString failurePrefix = QStringLiteral("Sign-in failed: ");

    std::optional<OAuthSignInResult> result;
    try {
        QCoro::Task<OAuthSignInResult> browserSignIn = m_signIn.flow.run(app);
        result = co_await browserSignIn;
    } catch (...) {
        if (self) {
            setLastError(failurePrefix + errorDescription(std::current_exception()));
            refresh();
        }
    }
    if (!self)
        co_return;

    if (result) {
        auto handOver = [client = m_controlClient, provider, app, credentials = *result] {
            handOverSignIn(client, provider, app, credentials);
        };
        QCoro::Task<> reported = runAction(BackgroundPriority::utility, std::move(handOver),
                                           {.failurePrefix = failurePrefix});
        co_await reported;
        if (!self)
            co_return;
    }
    setSigningIn(false);
}
