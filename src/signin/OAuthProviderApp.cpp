#include "OAuthProviderApp.h"

#include "OAuthScopes.h"

ClientRegistrations ClientRegistrations::builtIn() {
    return {
        .microsoftClientID = QStringLiteral(MOXTREL_M365_CLIENT_ID),
        .googleClientID = QStringLiteral(MOXTREL_GOOGLE_CLIENT_ID),
        .googleClientSecret = QStringLiteral(MOXTREL_GOOGLE_CLIENT_SECRET),
    };
}

std::optional<OAuthProviderApp>
OAuthProviderApp::forProvider(const QString& providerKey,
                              const ClientRegistrations& registrations) {
    if (providerKey == u"m365") {
        // The tenant "common" admits work accounts of every organisation; zidire is told the
        // same tenant.
        return OAuthProviderApp{
            .authorizeURL = QUrl(
                QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/authorize")),
            .tokenURL =
                QUrl(QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/token")),
            .scope = QString::fromLatin1(OAuthScope::m365),
            .clientID = registrations.microsoftClientID,
            .clientSecret = QString(),
            .extraAuthParams = {},
        };
    }
    if (providerKey == u"gmail" && !registrations.googleClientID.isEmpty()) {
        // Google issues a refresh token only for offline access, and again on a later sign-in
        // only when consent is asked for anew.
        return OAuthProviderApp{
            .authorizeURL = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/auth")),
            .tokenURL = QUrl(QStringLiteral("https://oauth2.googleapis.com/token")),
            .scope = QString::fromLatin1(OAuthScope::gmail),
            .clientID = registrations.googleClientID,
            .clientSecret = registrations.googleClientSecret,
            .extraAuthParams = {{QStringLiteral("access_type"), QStringLiteral("offline")},
                                {QStringLiteral("prompt"), QStringLiteral("consent")}},
        };
    }
    return std::nullopt;
}
