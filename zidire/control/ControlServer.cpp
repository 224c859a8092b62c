#include "ControlServer.h"

#include "ControlConnection.h"
#include "ControlPeerPolicy.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
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
                             const ControlPeerPolicy* peers, QObject* parent)
    : QObject(parent)
    , m_listeningSocket(listeningSocket)
    , m_handler(std::move(handler))
    , m_limits(limits)
    , m_peers(peers)
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
        if (m_peers)
            connection->start([this, socket](const ControlConnection::Admitted& admitted) {
                admit(socket, admitted);
            });
        else
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

void ControlServer::admit(int socket,
                          const std::function<void(const std::optional<QString>&)>& admitted) {
    const QString refusal = QString::fromLatin1(ControlPeerPolicy::refusal);
    const std::optional<ControlPeer> peer = controlPeer(socket);
    if (!peer) {
        Q_EMIT peerRefused(-1, QStringLiteral("the connecting process couldn't be identified: %1")
                                   .arg(QString::fromLocal8Bit(std::strerror(errno))));
        admitted(refusal);
        return;
    }
    QPointer<ControlServer> self(this);
    m_peers->decide(*peer, [self, uid = peer->uid, admitted,
                            refusal](const ControlPeerPolicy::Verdict& verdict) {
        if (verdict.admitted) {
            admitted(std::nullopt);
            return;
        }
        if (self)
            Q_EMIT self->peerRefused(qint64(uid), verdict.why);
        admitted(refusal);
    });
}

void ControlServer::connectionFinished(ControlConnection* connection) {
    --m_open;
    connection->deleteLater();
}

} // namespace zidire
