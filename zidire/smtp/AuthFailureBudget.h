#pragma once

// How many failed sign-ins the SMTP service lets through. A connection alone is closed after a
// few failures, but a guesser simply opens more connections, so failures are also counted per
// client address and across all addresses, each within a time window.

#include <QHash>
#include <QHostAddress>

#include <chrono>
#include <functional>

namespace zidire {

class AuthFailureBudget {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Limits {
        int perClient = 10; // failures from one address within `window`
        int total = 100;    // failures from all addresses within `window`
        std::chrono::milliseconds window = std::chrono::minutes(15);
        // Once a budget is used up, AUTH is refused this long after the failure that used it.
        std::chrono::milliseconds lockout = std::chrono::minutes(15);
    };

    // What a failure used up, so the refusal that follows is logged once.
    enum class Exhausted { nothing, client, everyone };

    explicit AuthFailureBudget(Limits limits, Clock clock = std::chrono::steady_clock::now);

    bool admits(const QHostAddress& client) const;
    Exhausted recordFailure(const QHostAddress& client);

    const Limits& limits() const { return m_limits; }

private:
    struct Window {
        int failures = 0;
        std::chrono::steady_clock::time_point start;
        std::chrono::steady_clock::time_point lockedUntil;

        bool locked(std::chrono::steady_clock::time_point now) const { return now < lockedUntil; }
        // True when this failure reaches `limit`.
        bool add(std::chrono::steady_clock::time_point now, int limit, const Limits& limits);
    };

    void forgetExpired(std::chrono::steady_clock::time_point now);

    Limits m_limits;
    Clock m_clock;
    Window m_everyone;
    QHash<QHostAddress, Window> m_clients;
};

} // namespace zidire
