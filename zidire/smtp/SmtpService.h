#pragma once

// The copiers' side of zidire: ESMTP on three listeners (plain, STARTTLS, implicit TLS) on one
// listen address, AUTH against the device login, every accepted message durably spooled before
// it is acknowledged.

#include "AuthFailureBudget.h"
#include "ControlMessages.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace zidire {

class Log;
class Spool;

struct DeviceLogin {
    QString username;
    QString password;
};

struct SmtpOptions {
    quint16 plainPort = 25;
    quint16 starttlsPort = 587;
    quint16 implicitTlsPort = 465;
    QString certificateDirectory; // where the self-signed certificate and key are kept
    bool allowLegacyTls = false;  // admit TLS 1.0/1.1 for old copiers
    qint64 maxMessageBytes = 35 * 1024 * 1024;
    QString sizeLimitReason; // why maxMessageBytes is what it is, for the 552 reply
    qint64 minFreeDiskBytes = 64 * 1024 * 1024; // below this, MAIL gets "452 4.3.1"
    // A session that makes no progress (no whole command or text line) for this long is closed.
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(5); // RFC 5321 4.5.3.2.7
    // The n-th failed AUTH on a connection is answered after n times this.
    std::chrono::milliseconds authFailureDelay = std::chrono::seconds(1);
    int maxSessions = 100; // connections beyond this get "421 4.3.2" and are closed
    // One host cannot take every session: its connections beyond this get "421 4.7.0".
    int maxSessionsPerClient = 10;
    // From the connection to a successful AUTH, the TLS handshake included. Copiers sign in
    // within a second; only a client holding a session open without the password takes longer.
    std::chrono::milliseconds signInTimeout = std::chrono::seconds(30);
    // Even a signed-in client that keeps making progress gives its session back after this
    // (a 35 MB scan at 1 Mbit/s takes five minutes).
    std::chrono::milliseconds maxSessionLifetime = std::chrono::minutes(30);
    AuthFailureBudget::Limits authFailureLimits;
};

class SmtpService : public QObject {
    Q_OBJECT

public:
    // `deviceLogin` is asked at every AUTH, so a changed login applies to the next attempt.
    SmtpService(SmtpOptions options, Spool& spool, Log& log,
                std::function<std::optional<DeviceLogin>()> deviceLogin, QObject* parent = nullptr);
    ~SmtpService() override;

    // (Re)binds the three listeners on `host`; sessions already open go on. A port that cannot
    // be bound is reported in its listener's `error`, the others keep working.
    void listen(const QHostAddress& host);

    // In the order plain, STARTTLS, implicit TLS: "host:port", tls "none"/"starttls"/"implicit".
    QList<ListenerInfo> listeners() const;

    // `reason` tells the client why in the 552 reply to a larger message.
    void setMaxMessageBytes(qint64 bytes, const QString& reason = {});
    void setAllowLegacyTls(bool allow);

Q_SIGNALS:
    // A message is durably in the spool and its "250" has been sent.
    void messageAccepted(const QString& id);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace zidire
