// The user actions of AppState that are one control request each.

#include "AppState.h"
#include "BackgroundWork.h"
#include "ErrorDescription.h"

#include <QPointer>

#include <functional>

namespace {

struct ControlAction {
    std::function<void(const ControlClient&)> operation;
    BackgroundPriority priority;
    QString failurePrefix;
    std::optional<QString> successMessage;
};

// Runs the request off the main thread, then reports on the model: a success clears `lastError`
// and shows the success message, a failure sets `lastError`; either way a refresh follows.
QCoro::Task<> runControlAction(QPointer<AppState> state, ControlAction action) {
    auto work = [client = state->controlClient(), operation = std::move(action.operation)] {
        operation(client);
    };
    std::exception_ptr failure;
    try {
        co_await runInBackground(action.priority, std::move(work));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!state)
        co_return;
    if (failure) {
        state->setLastError(action.failurePrefix + errorDescription(failure));
    } else {
        state->setLastError(std::nullopt);
        if (action.successMessage)
            state->setInfoMessage(action.successMessage);
    }
    state->refresh();
}

// Fire-and-forget: the visible confirmation goes at once, the request runs on.
void startControlAction(AppState* state, ControlAction action) {
    state->setInfoMessage(std::nullopt);
    runControlAction(state, std::move(action));
}

} // namespace

QCoro::Task<> AppState::saveSender(QString provider, QString fromAddress) {
    return runControlAction(
        this, {[provider, fromAddress](auto& c) { c.updateSender(provider, fromAddress); },
               BackgroundPriority::utility, QStringLiteral("Couldn't save sender settings: "),
               std::nullopt});
}

QCoro::Task<> AppState::saveDeviceAccount(QString username, QString password) {
    return runControlAction(this,
                            {[username, password](auto& c) { c.setDeviceUser(username, password); },
                             BackgroundPriority::utility,
                             QStringLiteral("Couldn't save the device account: "), std::nullopt});
}

void AppState::saveListenHost(QString host) {
    startControlAction(
        this, {[host](auto& c) { c.setListenHost(host); }, BackgroundPriority::utility,
               QStringLiteral("Couldn't change the listening address: "),
               QStringLiteral("Listening address saved — the background service is restarting…")});
}

void AppState::sendTestEmail(QString recipient) {
    startControlAction(this,
                       {[recipient](auto& c) { c.testSend(recipient); },
                        BackgroundPriority::userInitiated, QStringLiteral("Test send failed: "),
                        QStringLiteral("Test email sent to ") + recipient + u'.'});
}

void AppState::retryQueue() {
    startControlAction(this, {[](auto& c) { c.retryNow(); }, BackgroundPriority::userInitiated,
                              QStringLiteral("Couldn't retry the queue: "),
                              QStringLiteral("Retrying queued messages…")});
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

namespace {

// The client registration zidire needs to refresh the token it is given. Microsoft's is a
// public client of the "common" tenant, so it has no secret.
OAuthUpdate oauthUpdateFor(const QString& provider, const OAuthProviderApp& app) {
    if (provider == QLatin1String(ProviderKey::gmail))
        return {.gmail = GoogleAppUpdate{app.clientID, app.clientSecret}};
    return {.m365 = AzureAppUpdate{app.clientID, QString(), QStringLiteral("common")}};
}

} // namespace

QCoro::Task<> AppState::completeSignIn(OAuthProviderApp app, QString provider) {
    const QPointer<AppState> self(this);
    const QString failurePrefix = QStringLiteral("Sign-in failed: ");

    std::optional<OAuthSignInResult> result;
    std::exception_ptr failure;
    try {
        QCoro::Task<OAuthSignInResult> browserSignIn = m_signIn.flow.run(app);
        result = co_await browserSignIn;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;

    if (result) {
        auto handOver = [client = m_controlClient, update = oauthUpdateFor(provider, app), provider,
                         credentials = *result] {
            // The credentials are only useful with the client registration they belong to.
            client.updateOAuthClient(update);
            client.setCredentials(provider, credentials.refreshToken, credentials.email);
        };
        try {
            co_await runInBackground(BackgroundPriority::utility, std::move(handOver));
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self)
            co_return;
    }

    if (failure)
        setLastError(failurePrefix + errorDescription(failure));
    else
        setLastError(std::nullopt);
    refresh();
    setSigningIn(false);
}
