#pragma once

// How long delivery waits for what. The defaults are the product's; tests shrink them so that a
// back-off or a time-out takes milliseconds.

#include <chrono>

namespace zidire {

struct DeliveryTiming {
    // A message that failed for a passing reason is tried again after firstRetry, then after
    // twice as long each time, never waiting longer than longestRetry between attempts.
    std::chrono::milliseconds firstRetry = std::chrono::minutes(1);
    std::chrono::milliseconds longestRetry = std::chrono::hours(1);
    // Counted from the message's arrival; after this it goes to the failed folder.
    std::chrono::milliseconds giveUpAfter = std::chrono::hours(5 * 24);
    // A provider's Retry-After is honoured up to this long.
    std::chrono::milliseconds longestRetryAfter = std::chrono::hours(24);
    // Every request is given up when no byte moves for this long.
    std::chrono::milliseconds transferTimeout = std::chrono::seconds(60);
    // A test send answers within this, inside the application's 20-second wait for it.
    std::chrono::milliseconds testSendLimit = std::chrono::seconds(18);
    // An access token is renewed this long before the provider says it expires.
    std::chrono::milliseconds tokenRenewalMargin = std::chrono::minutes(5);
};

} // namespace zidire
