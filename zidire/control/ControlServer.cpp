#include "ControlServer.h"

#include "ControlConnection.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace zidire {

namespace {

// Connections accepted per wake-up, so that a stream of clients can't starve the SMTP side.
constexpr int maxAcceptsPerWakeUp = 64;
// How long accepting pauses when the process is out of descriptors or memory.
constexpr std::chrono::milliseconds acceptPause{100};

} // namespace

ControlServer::ControlServer(int listeningSocket, Handler handler, ControlLimits limits,
                             QObject* parent)
    : QObject(parent)
    , m_listeningSocket(listeningSocket)
    , m_handler(std::move(handler))
    , m_limits(limits)
    , m_acceptNotifier(new QSocketNotifier(listeningSocket, QSocketNotifier::Read, this)) {
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &ControlServer::acceptPending);
}

ControlServer::~ControlServer() {
    m_acceptNotifier->setEnabled(false);
}

void ControlServer::acceptPending() {
    for (int accepted = 0; accepted < maxAcceptsPerWakeUp; ++accepted) {
        const int socket =
            ::accept4(m_listeningSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays readable; without a pause this would spin.
                m_acceptNotifier->setEnabled(false);
                QTimer::singleShot(acceptPause, this,
                                   [this] { m_acceptNotifier->setEnabled(true); });
            }
            return;
        }
        if (m_open >= m_limits.maxConnections) {
            ::close(socket);
            continue;
        }
        auto* connection = new ControlConnection(socket, m_handler, m_limits, this);
        connection->start();
        if (connection->isFinished()) {
            delete connection; // answered at once; nothing of it is on the stack any more
            continue;
        }
        ++m_open;
        connection->setFinished(
            [this](ControlConnection* finished) { connectionFinished(finished); });
    }
}

void ControlServer::connectionFinished(ControlConnection* connection) {
    --m_open;
    connection->deleteLater();
}

} // namespace zidire
