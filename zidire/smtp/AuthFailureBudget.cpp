#include "AuthFailureBudget.h"

namespace zidire {

AuthFailureBudget::AuthFailureBudget(Limits limits, Clock clock)
    : m_limits(limits)
    , m_clock(std::move(clock)) {}

bool AuthFailureBudget::admits(const QHostAddress& client) const {
    const auto now = m_clock();
    const auto window = m_clients.constFind(client);
    return !m_everyone.locked(now) && (window == m_clients.cend() || !window->locked(now));
}

AuthFailureBudget::Exhausted AuthFailureBudget::recordFailure(const QHostAddress& client) {
    const auto now = m_clock();
    forgetExpired(now);
    const bool everyone = m_everyone.add(now, m_limits.total, m_limits);
    const bool alone = m_clients[client].add(now, m_limits.perClient, m_limits);
    return everyone ? Exhausted::everyone : alone ? Exhausted::client : Exhausted::nothing;
}

bool AuthFailureBudget::Window::add(std::chrono::steady_clock::time_point now, int limit,
                                    const Limits& limits) {
    if (failures == 0 || now - start >= limits.window) {
        failures = 0;
        start = now;
    }
    if (++failures < limit)
        return false;
    const bool newlyLocked = !locked(now);
    lockedUntil = now + limits.lockout;
    return newlyLocked;
}

// Keeps the table as small as the addresses that failed recently.
void AuthFailureBudget::forgetExpired(std::chrono::steady_clock::time_point now) {
    m_clients.removeIf([&](const auto& entry) {
        return !entry.value().locked(now) && now - entry.value().start >= m_limits.window;
    });
}

} // namespace zidire
