#include "SignInHandOver.h"

#include "ControlClient.h"

namespace {

// Microsoft's registration is a client of the "common" tenant, the one the sign-in used.
OAuthUpdate oauthUpdateFor(const QString& provider, const OAuthProviderApp& app) {
    if (provider == QLatin1String(ProviderKey::gmail))
        return {.gmail = GoogleAppUpdate{app.clientID, app.clientSecret}};
    return {.m365 = AzureAppUpdate{app.clientID, app.clientSecret, QStringLiteral("common")}};
}

} // namespace

void handOverSignIn(const ControlClient& zidire, const QString& provider,
                    const OAuthProviderApp& app, const OAuthSignInResult& credentials) {
    zidire.updateOAuthClient(oauthUpdateFor(provider, app));
    zidire.setCredentials(provider, credentials.refreshToken, credentials.email);
}
