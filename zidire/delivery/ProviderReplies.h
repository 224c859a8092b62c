#pragma once

// What a provider's answer means for delivery: an access token, an accepted message, or a
// SendFailure of the right kind with the provider's own explanation.

#include "HttpExchange.h"
#include "SendFailure.h"

#include <QString>

#include <chrono>
#include <variant>

namespace zidire {

struct AccessToken {
    QString value;
    std::chrono::seconds lifetime{0};
    QString rotatedRefreshToken; // empty when the provider kept the old one
};

// The answer of the token endpoint to a refresh-token grant. `providerName` names the provider
// in the reasons.
std::variant<AccessToken, SendFailure> readTokenResponse(const HttpResponse& response,
                                                         const QString& providerName);

// The answer to a send: nothing when the provider accepted the message.
SendOutcome readSendResponse(const HttpResponse& response, const QString& providerName);

// What the user is told when the refresh token no longer works.
inline constexpr char signInExpired[] = "Sign-in expired — sign in again";

} // namespace zidire
