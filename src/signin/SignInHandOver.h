#pragma once

// What a finished sign-in leaves with zidire, whether the application or zidire's command line
// signed in.

#include "OAuthProviderApp.h"
#include "TokenExchange.h"

#include <QString>

class ControlClient;

// Gives zidire the client registration that `credentials` belong to (zidire refreshes the token
// with it), then the credentials; nothing more once the first is refused. Blocks for each
// exchange; throws ControlClientError.
void handOverSignIn(const ControlClient& zidire, const QString& provider,
                    const OAuthProviderApp& app, const OAuthSignInResult& credentials);
