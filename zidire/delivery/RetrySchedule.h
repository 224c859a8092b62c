#pragma once

// When a message that failed for a passing reason is tried again, and when it is given up.

#include "DeliveryTiming.h"

#include <QDateTime>

#include <chrono>
#include <optional>

namespace zidire {

// The wait after the `failures`-th failure in a row (1 for the first): firstRetry, doubled with
// each failure up to longestRetry. A provider's Retry-After replaces it, but is never taken as
// shorter than firstRetry (a provider answering "0" must not make us hammer it) or longer than
// longestRetryAfter.
std::chrono::milliseconds retryDelay(int failures, std::optional<std::chrono::seconds> retryAfter,
                                     const DeliveryTiming& timing);

// Whether a message that arrived at `arrival` has waited too long to be tried again at `now`.
bool isOverdue(const QDateTime& arrival, const QDateTime& now, const DeliveryTiming& timing);

} // namespace zidire
