#pragma once

// What the control commands need from the delivery engine, which relays the spooled messages
// through the provider (DeliveryEngine).

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace zidire {

class Delivery {
public:
    // Called once with nothing when the work succeeded, or with why it failed.
    using Done = std::function<void(const std::optional<QString>& failure)>;

    struct Failure {
        QString text;
        std::chrono::steady_clock::time_point at;
    };

    virtual ~Delivery() = default;

    // Sends a short message to `to` the way a scan goes.
    virtual void testSend(const QString& to, Done done) = 0;
    // Tries the queued messages again now.
    virtual void retryNow(Done done) = 0;
    // The last send failure, for the status; cleared by the next success.
    virtual std::optional<Failure> lastFailure() const = 0;
    // A refresh token is stored for the configured provider, and the provider has not refused
    // it since.
    virtual bool authenticated() const = 0;
    // The provider, sender, OAuth client or credentials changed.
    virtual void settingsChanged() = 0;
};

} // namespace zidire
