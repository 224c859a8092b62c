#include "SignInCommand.h"

#include "Console.h"
#include "OAuthFlow.h"
#include "RelayCondition.h"
#include "SignInHandOver.h"
#include "TerminalBrowser.h"
#include "daemon/DaemonOptions.h"
#include "store/ProviderEndpoints.h"
#include "store/Settings.h"

#include <QCoroTask>
#include <QEventLoop>
#include <QUuid>

#include <exception>
#include <optional>

namespace zidire {

namespace {

// The application's configuration for the provider, with the client the command names and the
// hosts the relay itself reaches the provider at (which the environment may replace).
OAuthProviderApp providerApp(const Command& command) {
    const QString& provider = command.arguments.constFirst();
    if (provider != QLatin1String(ProviderKey::m365) &&
        provider != QLatin1String(ProviderKey::gmail))
        throw UsageError(QStringLiteral("\"auth\" needs m365 or gmail, not \"%1\"").arg(provider));
    ClientRegistrations registrations = ClientRegistrations::builtIn();
    if (command.clientId)
        registrations.microsoftClientID = registrations.googleClientID = *command.clientId;
    std::optional<OAuthProviderApp> app = OAuthProviderApp::forProvider(provider, registrations);
    // A build without a registration of its own has the nil GUID for Microsoft's.
    if (!app || app->clientID.isEmpty() || app->clientID == QUuid().toString(QUuid::WithoutBraces))
        throw UsageError(
            QStringLiteral("no %1 client id is built into zidire; pass --client-id ID%2")
                .arg(providerDisplayName(provider), provider == QLatin1String(ProviderKey::gmail)
                                                        ? QStringLiteral(" --client-secret SECRET")
                                                        : QString()));
    if (command.clientId || command.clientSecret)
        app->clientSecret = command.clientSecret.value_or(QString());

    const ProviderEndpoints endpoints = providerEndpoints(Settings{});
    if (provider == QLatin1String(ProviderKey::m365)) {
        app->authorizeURL = QUrl(endpoints.microsoftLoginBase + app->authorizeURL.path());
        app->tokenURL = QUrl(endpoints.microsoftLoginBase + app->tokenURL.path());
    } else {
        app->tokenURL = QUrl(endpoints.googleTokenUrl);
    }
    return *app;
}

QCoro::Task<> settle(QCoro::Task<OAuthSignInResult> signIn,
                     std::optional<OAuthSignInResult>& result, std::exception_ptr& failure,
                     QEventLoop& loop) {
    try {
        result = co_await signIn;
    } catch (...) {
        failure = std::current_exception();
    }
    loop.quit();
}

// Runs the event loop until the sign-in ends; its result, or what it threw. (QCoro::waitFor of
// QCoro 0.8 never returns from a task that throws.)
OAuthSignInResult waitFor(QCoro::Task<OAuthSignInResult> signIn) {
    QEventLoop loop;
    std::optional<OAuthSignInResult> result;
    std::exception_ptr failure;
    const QCoro::Task<> settled = settle(std::move(signIn), result, failure, loop);
    if (!result && !failure)
        loop.exec();
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

} // namespace

void signIn(const Command& command) {
    const QString& provider = command.arguments.constFirst();
    const OAuthProviderApp app = providerApp(command);
    const ControlClient relay = command.relay();
    // Nobody should sign in for a relay that can't take the result.
    relay.status();

    const OAuthFlow flow{.browser = std::make_shared<TerminalBrowser>(command.noBrowser)};
    const OAuthSignInResult credentials = waitFor(flow.run(app));
    handOverSignIn(relay, provider, app, credentials);
    printLine(stdout, QStringLiteral("Signed in to %1%2.")
                          .arg(providerDisplayName(provider),
                               credentials.email ? QStringLiteral(" as ") + *credentials.email
                                                 : QString()));
}

} // namespace zidire
