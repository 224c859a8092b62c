#pragma once

#include "ControlClientError.h"
#include "ControlCodec.h"
#include "ControlMessages.h"

#include <QString>

#include <optional>

// The application's side of zidire's control socket. Every call is one complete exchange on a
// fresh connection (connect, one request, read to end of stream, close), so a ControlClient is a
// plain value that any number of threads may copy and use at once. Every call blocks: never call
// it on the main thread.
class ControlClient {
public:
    ControlClient(QString socketPath, double timeout)
        : m_socketPath(std::move(socketPath))
        , m_timeout(timeout) {}

    QString socketPath() const { return m_socketPath; }
    double timeout() const { return m_timeout; }

    // One exchange. Returns the response whatever its `ok` says; throws ControlClientError or
    // ControlDecodingError. `timeLimit` replaces `timeout` for this call.
    ControlResponse send(const ControlRequest& request,
                         std::optional<double> timeLimit = std::nullopt) const;

    ControlStatus status() const;
    void updateSender(const QString& provider, const QString& fromAddress) const;
    void setDeviceUser(const QString& username, const QString& password) const;
    void setListenHost(const QString& host) const;
    void updateOAuthClient(const OAuthUpdate& update) const;
    void setCredentials(const QString& provider, const QString& refreshToken,
                        const std::optional<QString>& email) const;
    void testSend(const QString& to) const;
    void retryNow() const;
    QString fetchLog() const;

    static constexpr double testSendTimeLimit = 20.0;

private:
    // Sends the request and returns the response if `ok`; otherwise throws serverError with
    // zidire's `error` text, or `fallback` when zidire gave none.
    ControlResponse exchange(const ControlRequest& request, const char* fallback,
                             std::optional<double> timeLimit = std::nullopt) const;

    QString m_socketPath;
    double m_timeout;
};
