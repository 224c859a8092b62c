#pragma once

// Why a message (or a token request) did not get through, sorted by what delivery does next.

#include <QString>

#include <chrono>
#include <optional>

namespace zidire {

struct SendFailure {
    enum class Kind {
        transient,     // try again later: network, time-out, 408, 429, 5xx
        permanent,     // the provider refused this message: it goes to the failed folder
        authorization, // the sign-in can't be used: sending stops until new credentials
    };

    Kind kind = Kind::transient;
    QString reason{}; // in words the user understands; never holds a token
    std::optional<std::chrono::seconds> retryAfter{};
    // The provider throttles the mailbox: nothing else is sent before the retry either.
    bool throttled = false;

    bool operator==(const SendFailure&) const = default;
};

using SendOutcome = std::optional<SendFailure>; // nothing: the provider accepted the message

} // namespace zidire
