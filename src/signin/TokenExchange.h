#pragma once

// The last step of a sign-in: trading the authorization code for tokens at the provider's token
// endpoint, and reading the account's address from the ID token.

#include "Cancellation.h"
#include "OAuthProviderApp.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

struct OAuthSignInResult {
    QString refreshToken; // never empty
    std::optional<QString> email;

    friend bool operator==(const OAuthSignInResult&, const OAuthSignInResult&) = default;
};

// The members of the token endpoint's answer that the sign-in reads (RFC 6749 §5, OpenID
// Connect); every other member is ignored.
struct TokenResponse {
    std::optional<QString> refreshToken;
    std::optional<QString> idToken;
    std::optional<QString> error;
    std::optional<QString> errorDescription;

    // Member names are read from snake case ("refresh_token"); a null member counts as absent.
    // None when `body` is not a JSON object or one of these members is not a string.
    static std::optional<TokenResponse> decode(const QByteArray& body);
};

inline constexpr std::chrono::seconds tokenRequestTimeout{60};

// POSTs the form-encoded token request to `app.tokenURL`. Whatever the HTTP status, the body
// decides: OAuthFlowError exchangeFailed (not a token response), providerError (an OAuth error),
// noRefreshToken. A transport failure throws NetworkError; cancellation aborts the request and
// throws CancellationError.
QCoro::Task<OAuthSignInResult> exchangeCode(QString code, OAuthProviderApp app, QString redirectURI,
                                            QString verifier, CancellationToken cancellation = {});

// The signed-in account's address from the claims "preferred_username", "email", "upn" (the
// first that is a non-empty string) of the token's payload. The signature is not checked: the
// token came straight from the token endpoint over TLS. None when nothing can be read.
std::optional<QString> emailFromIDToken(const QString& idToken);
