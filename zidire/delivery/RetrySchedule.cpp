#include "RetrySchedule.h"

#include <algorithm>

namespace zidire {

std::chrono::milliseconds retryDelay(int failures, std::optional<std::chrono::seconds> retryAfter,
                                     const DeliveryTiming& timing) {
    if (retryAfter)
        return std::clamp<std::chrono::milliseconds>(
            *retryAfter, timing.firstRetry, std::max(timing.firstRetry, timing.longestRetryAfter));
    std::chrono::milliseconds delay = timing.firstRetry;
    for (int i = 1; i < failures && delay < timing.longestRetry; ++i)
        delay *= 2;
    return std::min(delay, timing.longestRetry);
}

bool isOverdue(const QDateTime& arrival, const QDateTime& now, const DeliveryTiming& timing) {
    return arrival.msecsTo(now) >= timing.giveUpAfter.count();
}

} // namespace zidire
