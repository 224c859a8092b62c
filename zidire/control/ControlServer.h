#pragma once

// zidire's control socket: one request and one answer per connection, many connections at once.
// Each connection is read until a complete JSON object has arrived; the answer may come later
// (a test send takes seconds) without holding up any other connection. With a peer policy, every
// connection is first admitted by it, and a refused one is answered with the refusal only.

#include "ControlMessages.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

class QSocketNotifier;

namespace zidire {

class ControlConnection;
class ControlPeerPolicy;

struct ControlLimits {
    // A client gets this long to deliver its request, and again to take the answer.
    std::chrono::milliseconds clientTimeout{5000};
    qsizetype maxRequestBytes = 1024 * 1024;
    // Beyond this many open connections new ones are closed at once, so that silent clients
    // can't use up the daemon's file descriptors.
    int maxConnections = 256;
};

class ControlServer : public QObject {
    Q_OBJECT

public:
    using Reply = std::function<void(const ControlResponse&)>;
    // Called with every request that passed the command rules; answers through `reply`, at once
    // or later. A reply to a connection that has gone away is dropped.
    using Handler = std::function<void(const ControlRequest&, Reply)>;

    // Accepts on `listeningSocket`, a bound and listening Unix socket that the caller owns.
    // `peers`, when given, must outlive the server: it admits each connection's process.
    ControlServer(int listeningSocket, Handler handler, ControlLimits limits = {},
                  const ControlPeerPolicy* peers = nullptr, QObject* parent = nullptr);
    ~ControlServer() override;

    int openConnections() const { return m_open; }

Q_SIGNALS:
    // A connection was refused by the peer policy; `uid` is -1 when the peer couldn't even be
    // identified. `why` is for the log.
    void peerRefused(qint64 uid, const QString& why);

private:
    void admit(int socket, const std::function<void(const std::optional<QString>&)>& admitted);
    void acceptPending();
    void connectionFinished(ControlConnection* connection);

    int m_listeningSocket;
    Handler m_handler;
    ControlLimits m_limits;
    const ControlPeerPolicy* m_peers;
    QSocketNotifier* m_acceptNotifier;
    int m_open = 0;
};

} // namespace zidire
