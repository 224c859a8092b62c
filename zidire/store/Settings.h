#pragma once

// What zidire keeps between runs, split by sensitivity: Settings may be shown and logged,
// Secrets never leave zidire except the device password to an authorized administrator.
// Each record lists its keys once, in `describe`, for reading and writing alike.

#include <QString>

namespace zidire {

struct Settings {
    QString provider;         // the sending provider, "m365" or "gmail"; empty until chosen
    QString fromAddress;      // every relayed message is sent from this address
    QString signedInProvider; // the provider the stored refresh token belongs to
    QString signedInEmail;    // the signed-in account, empty when the sign-in gave none
    QString deviceUsername;   // the copiers' SMTP AUTH login
    QString listenHost = QStringLiteral("0.0.0.0");
    bool allowLegacyTls = false; // admit TLS 1.0/1.1 for old copiers
    QString gmailClientId;
    QString m365ClientId;
    QString m365TenantId;
    // Provider endpoints for sovereign clouds and tests; empty means the real host. The keys are
    // the names of the environment variables that override them (see ProviderEndpoints.h).
    QString microsoftLoginBase;
    QString graphBase;
    QString googleTokenUrl;
    QString gmailBase;

    bool operator==(const Settings&) const = default;
    template <class Self, class Visit> static void describe(Self& s, Visit&& key) {
        key("provider", s.provider);
        key("from_address", s.fromAddress);
        key("signed_in_provider", s.signedInProvider);
        key("signed_in_email", s.signedInEmail);
        key("device_username", s.deviceUsername);
        key("listen_host", s.listenHost);
        key("allow_legacy_tls", s.allowLegacyTls);
        key("gmail_client_id", s.gmailClientId);
        key("m365_client_id", s.m365ClientId);
        key("m365_tenant_id", s.m365TenantId);
        key("ZIDIRE_MICROSOFT_LOGIN_BASE", s.microsoftLoginBase);
        key("ZIDIRE_GRAPH_BASE", s.graphBase);
        key("ZIDIRE_GOOGLE_TOKEN_URL", s.googleTokenUrl);
        key("ZIDIRE_GMAIL_BASE", s.gmailBase);
    }
};

struct Secrets {
    QString refreshToken;
    QString devicePassword;
    QString gmailClientSecret;
    QString m365ClientSecret;

    bool operator==(const Secrets&) const = default;
    template <class Self, class Visit> static void describe(Self& s, Visit&& key) {
        key("refresh_token", s.refreshToken);
        key("device_password", s.devicePassword);
        key("gmail_client_secret", s.gmailClientSecret);
        key("m365_client_secret", s.m365ClientSecret);
    }
};

} // namespace zidire
