#pragma once

#include "Cancellation.h"
#include "OAuthProviderApp.h"
#include "TokenExchange.h"
#include "UrlOpener.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

// CLOCK_BOOTTIME: unlike the monotonic clock Qt's timers run on, it goes on counting while the
// machine is suspended.
std::chrono::nanoseconds bootClockNow();

// One browser sign-in: the OAuth 2.0 authorization-code grant with PKCE (S256) for a native
// application with a loopback redirect. It yields a refresh token and, where the provider tells
// it, the account's address; it stores nothing.
struct OAuthFlow {
    // How long the user has to finish in the browser, time the machine spent asleep included.
    std::chrono::milliseconds timeout = std::chrono::seconds(300);
    std::shared_ptr<UrlOpener> browser = desktopUrlOpener();
    // What the time limit is measured on; tests stand in for a machine that slept.
    std::function<std::chrono::nanoseconds()> clock = bootClockNow;

    // Listens for the redirect, opens the authorization page, waits for the code and exchanges
    // it. Throws OAuthFlowError, NetworkError (listener or HTTP client), or CancellationError
    // when `cancellation` is requested. The listener is closed on every way out.
    QCoro::Task<OAuthSignInResult> run(OAuthProviderApp app,
                                       CancellationToken cancellation = {}) const;
};

// 16 bytes from the system's secure random source as 32 lowercase hexadecimal digits.
QString randomHex();

// The PKCE S256 challenge: SHA-256 of the verifier, Base64url without padding.
QString codeChallenge(const QString& verifier);

// `app.authorizeURL` with its query set to the authorization request, in the order providers
// document it, then `app.extraAuthParams`.
QUrl authorizationURL(const OAuthProviderApp& app, const QString& redirectURI, const QString& state,
                      const QString& challenge);
