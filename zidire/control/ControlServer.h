#pragma once

// zidire's control socket: one request and one answer per connection, many connections at once.
// Each connection is read until a complete JSON object has arrived; the answer may come later
// (a test send takes seconds) without holding up any other connection.

#include "ControlMessages.h"

#include <QObject>

#include <chrono>
#include <functional>

class QSocketNotifier;

namespace zidire {

class ControlConnection;

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
    ControlServer(int listeningSocket, Handler handler, ControlLimits limits = {},
                  QObject* parent = nullptr);
    ~ControlServer() override;

    int openConnections() const { return m_open; }

private:
    void acceptPending();
    void connectionFinished(ControlConnection* connection);

    int m_listeningSocket;
    Handler m_handler;
    ControlLimits m_limits;
    QSocketNotifier* m_acceptNotifier;
    int m_open = 0;
};

} // namespace zidire
