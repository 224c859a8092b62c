#pragma once

#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

// The client registrations this build signs in with. They are supplied when the application is
// built; an empty Google identifier makes a build without Google sign-in.
struct ClientRegistrations {
    QString microsoftClientID;
    QString googleClientID;
    QString googleClientSecret;

    static ClientRegistrations builtIn();
};

// One OAuth client registration at one provider.
struct OAuthProviderApp {
    QUrl authorizeURL;
    QUrl tokenURL;
    QString scope; // space-separated, sent as one value
    QString clientID;
    QString clientSecret; // empty: a public client that sends no secret
    QMap<QString, QString> extraAuthParams;

    // The configuration for a provider key ("m365", "gmail"); none when the key is unknown or
    // sign-in with that provider is not available in this build.
    static std::optional<OAuthProviderApp>
    forProvider(const QString& providerKey,
                const ClientRegistrations& registrations = ClientRegistrations::builtIn());
};
