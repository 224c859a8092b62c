#pragma once

// One provider's HTTP interface as delivery uses it: renewing the access token from the refresh
// token, and sending one complete RFC 5322 message.

#include "HttpExchange.h"

#include <QString>

#include <memory>

namespace zidire {

struct ProviderEndpoints;

// Everything a send needs to know about the signed-in account.
struct ProviderAccount {
    QString provider; // "m365" or "gmail"
    QString refreshToken;
    QString clientId;
    QString clientSecret; // empty for a public client
    QString tenant;       // Microsoft only
    QString senderAddress;
    QString signedInEmail; // empty when the sign-in did not tell

    // Whether an access token obtained for one is good for the other.
    bool sameSignIn(const ProviderAccount& other) const {
        return provider == other.provider && refreshToken == other.refreshToken &&
               clientId == other.clientId && clientSecret == other.clientSecret &&
               tenant == other.tenant;
    }
};

class ProviderApi {
public:
    virtual ~ProviderApi() = default;

    // For the user: "Microsoft 365", "Google Workspace".
    virtual QString name() const = 0;
    // The largest message, as the provider gets it, that it accepts.
    virtual qint64 maxMessageBytes() const = 0;
    // The refresh-token grant (RFC 6749 6).
    virtual HttpRequest tokenRequest(const ProviderAccount& account) const = 0;
    virtual HttpRequest sendRequest(const ProviderAccount& account, const QByteArray& message,
                                    const QString& accessToken) const = 0;

    // None for a provider key that is neither "m365" nor "gmail".
    static std::unique_ptr<ProviderApi> forProvider(const QString& provider,
                                                    const ProviderEndpoints& endpoints);
};

} // namespace zidire
