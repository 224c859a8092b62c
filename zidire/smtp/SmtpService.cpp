#include "SmtpService.h"

#include "SmtpSession.h"
#include "TlsIdentity.h"
#include "log/Log.h"
#include "spool/FreeSpace.h"
#include "spool/Spool.h"

#include <QHash>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>

#include <array>

namespace zidire {

namespace {

// Qt keeps at most this much unread input per connection, so a client that sends faster than we
// handle it is slowed down by TCP instead of filling memory.
constexpr qint64 readBufferBytes = 1024 * 1024;
constexpr qint64 smallReadBytes = 16 * 1024;
// Replies are small; a client that pipelines without reading them must wait until it reads.
constexpr qint64 maxUnsentReplyBytes = 64 * 1024;

class Listener final : public QTcpServer {
public:
    Listener(ListenerSecurity security, std::function<void(qintptr, ListenerSecurity)> accept)
        : m_security(security)
        , m_accept(std::move(accept)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_accept(descriptor, m_security); }

private:
    ListenerSecurity m_security;
    std::function<void(qintptr, ListenerSecurity)> m_accept;
};

// An IPv4 client of a dual-stack listener arrives as ::ffff:a.b.c.d; it is counted as a.b.c.d.
QHostAddress clientHostOf(const QAbstractSocket& socket) {
    const QHostAddress address = socket.peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString seconds(std::chrono::milliseconds interval) {
    return QString::number(double(interval.count()) / 1000.0);
}

struct ClientSessions {
    int open = 0;
    bool refusalLogged = false; // a host that keeps trying is logged once, not per connection
};

// What every connection of the service shares.
struct ServiceContext {
    SmtpService& owner;
    SmtpOptions options;
    Spool& spool;
    Log& log;
    std::function<std::optional<DeviceLogin>()> deviceLogin;
    QString hostName;
    std::optional<TlsIdentity> tlsIdentity;
    // Where spool files are created and fsynced, away from the event loop.
    QThreadPool* commits = nullptr;
    // Where spool files are made ahead of need: at idle priority, so that making them never
    // takes a processor from a message being received or committed.
    QThreadPool* preparations = nullptr;
    FreeSpace spoolSpace{spool.directory()};
    int openSessions = 0;
    QHash<QHostAddress, ClientSessions> clients{};
    AuthFailureBudget authFailures{options.authFailureLimits};

    QSslConfiguration tlsConfiguration() const;
    bool spoolHasRoom();
    void authFailed(const QHostAddress& client);
};

// One client connection: moves bytes between the socket and its session, carries out what the
// session asks for (delays, TLS, commits, closing) and enforces its time limits.
class Connection final : public QObject {
public:
    Connection(qintptr descriptor, ListenerSecurity security, ServiceContext& service,
               QObject* parent)
        : QObject(parent)
        , m_service(service)
        , m_socket(new QSslSocket(this))
        , m_greeted(security != ListenerSecurity::implicitTls) {
        ++m_service.openSessions;
        m_socket->setSocketDescriptor(descriptor);
        m_socket->setReadBufferSize(readBufferBytes);
        // Replies are small and the client waits for each: Nagle's algorithm would only hold one
        // back while an earlier one is unacknowledged.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clientHost = clientHostOf(*m_socket);
        m_clientAddress = QStringLiteral("%1:%2").arg(m_clientHost.toString(),
                                                      QString::number(m_socket->peerPort()));
        ClientSessions& fromClient = m_service.clients[m_clientHost];
        ++fromClient.open;
        m_session = std::make_unique<SmtpSession>(
            SmtpSessionSettings{
                security, m_service.hostName, m_clientAddress, m_service.options.maxMessageBytes,
                m_service.tlsIdentity.has_value(), m_service.options.authFailureDelay,
                m_service.options.sizeLimitReason},
            m_service.spool, m_service.log,
            SmtpSessionHooks{m_service.deviceLogin, [&service] { return service.spoolHasRoom(); },
                             [this] { return m_service.authFailures.admits(m_clientHost); },
                             [this] { m_service.authFailed(m_clientHost); }});

        const SmtpOptions& options = m_service.options;
        closeAfter(m_idle, options.idleTimeout, "no progress for");
        closeAfter(m_signIn, options.signInTimeout, "not signed in within");
        closeAfter(m_lifetime, options.maxSessionLifetime, "open for longer than");
        connect(m_socket, &QSslSocket::readyRead, this, [this] { readInput(); });
        connect(m_socket, &QSslSocket::bytesWritten, this, [this] { readInput(); });
        connect(m_socket, &QSslSocket::encrypted, this, [this] { encrypted(); });
        connect(m_socket, &QSslSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) { failed(error); });
        connect(m_socket, &QSslSocket::disconnected, this, [this] { deleteLater(); });

        if (fromClient.open > options.maxSessionsPerClient) {
            if (!std::exchange(fromClient.refusalLogged, true))
                m_service.log.warning(
                    QStringLiteral("refusing SMTP sessions from %1 beyond %2 at a time")
                        .arg(m_clientHost.toString(),
                             QString::number(options.maxSessionsPerClient)));
            closeWith("421 4.7.0 Too many connections from your address, try again later\r\n");
        } else if (m_service.openSessions > options.maxSessions) {
            m_service.log.warning(QStringLiteral("refused SMTP session from %1: too many open "
                                                 "sessions")
                                      .arg(m_clientAddress));
            closeWith("421 4.3.2 Too many connections, try again later\r\n");
        } else if (security == ListenerSecurity::implicitTls) {
            m_socket->setSslConfiguration(m_service.tlsConfiguration());
            m_socket->startServerEncryption();
        } else {
            m_socket->write(m_session->greeting());
        }
    }

    ~Connection() override {
        --m_service.openSessions;
        if (--m_service.clients[m_clientHost].open == 0)
            m_service.clients.remove(m_clientHost);
    }

private:
    void readInput() {
        // While a reply is held back, input stays with the socket, so TCP slows the client down.
        if (m_closing || m_waiting || m_socket->bytesToWrite() > maxUnsentReplyBytes)
            return;
        if (m_socket->mode() != QSslSocket::UnencryptedMode && !m_socket->isEncrypted())
            return; // the handshake is still running
        // One buffer for the connection's life (a fresh allocation per read costs more than
        // handling the bytes), small until the client sends a lot.
        if (m_readBuffer.isEmpty())
            m_readBuffer.resize(smallReadBytes);
        const quint64 progress = m_session->progress();
        while (!m_closing && !m_waiting) {
            const qint64 size = m_socket->read(m_readBuffer.data(), m_readBuffer.size());
            if (size <= 0)
                break;
            carryOut(m_session->receive(QByteArrayView(m_readBuffer.constData(), size)));
            if (size == m_readBuffer.size())
                m_readBuffer.resize(readBufferBytes);
        }
        if (m_session->progress() != progress && !m_closing)
            m_idle.start();
    }

    void carryOut(SmtpSession::Output output) {
        if (output.delay.count() > 0) {
            m_waiting = true;
            QTimer::singleShot(output.delay, this, [this, output] {
                m_waiting = false;
                send(output);
                if (!m_closing)
                    carryOut(m_session->resume());
                readInput();
            });
            return;
        }
        send(output);
    }

    void send(const SmtpSession::Output& output) {
        if (output.open) {
            // What is ready waits for the file and leaves with the answer to DATA, as one piece
            // for the group of pipelined commands (RFC 2920 3.2).
            return inBackground(output.open,
                                [this, earlier = output](const SmtpSession::Opening& opening) {
                                    SmtpSession::Output next = m_session->opened(opening);
                                    next.reply.prepend(earlier.reply);
                                    next.accepted = earlier.accepted + next.accepted;
                                    return next;
                                });
        }
        if (m_socket->state() == QAbstractSocket::ConnectedState) // not gone during a delay
            m_socket->write(output.reply);
        if (m_session->signedIn())
            m_signIn.stop();
        for (const QString& id : output.accepted)
            Q_EMIT m_service.owner.messageAccepted(id);
        if (output.close) {
            m_closing = true;
            m_socket->disconnectFromHost();
        } else if (output.startTls) {
            m_socket->setSslConfiguration(m_service.tlsConfiguration());
            m_socket->startServerEncryption();
        } else {
            if (output.commit) {
                // Should the connection go first, the message is still made durable, just never
                // acknowledged, so the client sends it again.
                inBackground(
                    [writer = output.commit] { return SmtpSession::commit(*writer); },
                    [this, writer = output.commit](const SmtpSession::CommitOutcome& outcome) {
                        m_service.spoolSpace.stored(writer->size());
                        return m_session->committed(outcome);
                    });
            }
            // Out now rather than on the event loop's next turn: the client is waiting for it.
            // Last, as it may come back to readInput().
            m_socket->flush();
        }
    }

    // File work on the commit pool: a slow disk holds up this client only. Nothing more of its
    // input is handled until `done` has taken the result back here. The result is handed back
    // through the service, which outlives the pool, and only to a connection that still exists.
    // (Not QFuture::then: with Qt 6.4, continuations of tasks as quick as creating a file now and
    // then crashed in QFutureInterfaceBase::reportStarted.)
    template <typename Work, typename Done> void inBackground(Work work, Done done) {
        m_waiting = true;
        m_service.commits->start([&service = m_service.owner, connection = QPointer(this),
                                  work = std::move(work), done]() mutable {
            QMetaObject::invokeMethod(&service, [connection, done, result = work()] {
                if (!connection)
                    return;
                connection->m_waiting = false;
                connection->carryOut(done(result));
                connection->readInput();
            });
        });
        // Files for the next messages, so that DATA is answered without a trip there and back;
        // made on a pool of their own, so that no result above waits for them.
        if (m_service.spool.needsPreparing())
            m_service.preparations->start([&spool = m_service.spool] { spool.prepare(); });
    }

    void encrypted() {
        if (m_greeted) {
            m_session->tlsEstablished();
        } else {
            m_greeted = true;
            m_socket->write(m_session->greeting());
        }
        m_idle.start();
        readInput();
    }

    void failed(QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        m_service.log.warning(QStringLiteral("SMTP session from %1 ended: %2")
                                  .arg(m_clientAddress, m_socket->errorString()));
        if (error == QAbstractSocket::SslHandshakeFailedError)
            m_socket->abort();
    }

    void closeAfter(QTimer& timer, std::chrono::milliseconds interval, const char* why) {
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(interval);
        connect(&timer, &QTimer::timeout, this, [this, interval, why] {
            m_service.log.warning(QStringLiteral("closed the SMTP session from %1: %2 %3 s")
                                      .arg(m_clientAddress, QLatin1String(why), seconds(interval)));
            if (!m_closing && canReply()) {
                m_socket->write("421 4.4.2 Timeout, closing connection\r\n");
                m_socket->flush();
            }
            m_socket->abort();
        });
        timer.start();
    }

    // Before the handshake on the implicit-TLS port, or during one, plain text would reach a
    // client expecting TLS; such a connection is closed without a word.
    bool canReply() const {
        const bool handshaking =
            m_socket->mode() != QSslSocket::UnencryptedMode && !m_socket->isEncrypted();
        return m_greeted && !handshaking;
    }

    void closeWith(const char* reply) {
        m_closing = true;
        if (!canReply())
            return m_socket->abort();
        m_socket->write(reply);
        m_socket->disconnectFromHost();
    }

    ServiceContext& m_service;
    QSslSocket* m_socket;
    QHostAddress m_clientHost;
    QString m_clientAddress; // with the port, for the log
    std::unique_ptr<SmtpSession> m_session;
    QByteArray m_readBuffer;
    QTimer m_idle;
    QTimer m_signIn;
    QTimer m_lifetime;
    bool m_closing = false;
    bool m_waiting = false; // for an AUTH delay or a commit
    bool m_greeted;         // the banner is out; on implicit TLS it waits for the handshake
};

} // namespace

QSslConfiguration ServiceContext::tlsConfiguration() const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(tlsIdentity->certificate);
    configuration.setPrivateKey(tlsIdentity->privateKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (options.allowLegacyTls) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        configuration.setProtocol(QSsl::TlsV1_0OrLater);
        QT_WARNING_POP
        // OpenSSL 3 refuses TLS 1.0/1.1 (and their SHA-1 signatures) above security level 0.
        configuration.setBackendConfigurationOption("CipherString", "DEFAULT:@SECLEVEL=0");
    } else {
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
    }
    return configuration;
}

// Unreadable free space lets messages in: the spool's own writes then tell whether it has room.
bool ServiceContext::spoolHasRoom() {
    const std::optional<qint64> available = spoolSpace.bytesAvailable();
    return !available || *available >= options.minFreeDiskBytes;
}

void ServiceContext::authFailed(const QHostAddress& client) {
    const AuthFailureBudget::Limits& limits = options.authFailureLimits;
    switch (authFailures.recordFailure(client)) {
    case AuthFailureBudget::Exhausted::nothing:
        break;
    case AuthFailureBudget::Exhausted::client:
        log.warning(QStringLiteral("refusing SMTP sign-ins from %1 for %2 s: %3 failed within %4 s")
                        .arg(client.toString(), seconds(limits.lockout),
                             QString::number(limits.perClient), seconds(limits.window)));
        break;
    case AuthFailureBudget::Exhausted::everyone:
        log.warning(QStringLiteral("refusing all SMTP sign-ins for %1 s: %2 failed within %3 s")
                        .arg(seconds(limits.lockout), QString::number(limits.total),
                             seconds(limits.window)));
        break;
    }
}

struct SmtpService::Private {
    Private(SmtpService& owner, SmtpOptions options, Spool& spool, Log& log,
            std::function<std::optional<DeviceLogin>()> deviceLogin)
        : context{.owner = owner,
                  .options = std::move(options),
                  .spool = spool,
                  .log = log,
                  .deviceLogin = std::move(deviceLogin),
                  .hostName = {},
                  .tlsIdentity = {},
                  .commits = &commits,
                  .preparations = &preparations} {
        // One job per session at most, so that no session waits for another's disk: the threads
        // spend their time waiting for the disk, and the file system combines concurrent fsyncs.
        commits.setMaxThreadCount(context.options.maxSessions);
        // One thread, as the spool makes its files one batch at a time. On a busy machine files
        // may not be ready; DATA then waits for one on the commit pool, as without them.
        preparations.setMaxThreadCount(1);
        preparations.setThreadPriority(QThread::IdlePriority);
    }

    quint16 port(ListenerSecurity security) const {
        switch (security) {
        case ListenerSecurity::plain:
            return context.options.plainPort;
        case ListenerSecurity::startTls:
            return context.options.starttlsPort;
        case ListenerSecurity::implicitTls:
            return context.options.implicitTlsPort;
        }
        return 0;
    }

    // What listeners() reports, worked out whenever it changes, since every status asks for it.
    QList<ListenerInfo> describeListeners() const {
        static const char* const tlsNames[] = {"none", "starttls", "implicit"};
        QList<ListenerInfo> result;
        for (const ListenerSecurity security :
             {ListenerSecurity::plain, ListenerSecurity::startTls, ListenerSecurity::implicitTls}) {
            const auto index = static_cast<size_t>(security);
            const Listener* listener = listeners[index].get();
            const quint16 number = listener ? listener->serverPort() : port(security);
            ListenerInfo info{QStringLiteral("%1:%2").arg(host.toString()).arg(number),
                              QString::fromLatin1(tlsNames[index]), std::nullopt};
            if (!listenErrors[index].isEmpty())
                info.error = listenErrors[index];
            else if (!listener)
                info.error = QStringLiteral("not listening");
            result.append(info);
        }
        return result;
    }

    ServiceContext context;
    QString tlsProblem;
    QHostAddress host;
    std::array<std::unique_ptr<Listener>, 3> listeners;
    std::array<QString, 3> listenErrors;
    QList<ListenerInfo> listenerInfo;
    // Waits for running file work when destroyed, after the connections and before the spool.
    QThreadPool commits;
    QThreadPool preparations;
    // Parent of the open connections; declared last so they go before what they use.
    QObject connections;
};

SmtpService::SmtpService(SmtpOptions options, Spool& spool, Log& log,
                         std::function<std::optional<DeviceLogin>()> deviceLogin, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(*this, std::move(options), spool, log, std::move(deviceLogin))) {
    d->context.hostName = QSysInfo::machineHostName();
    if (d->context.hostName.isEmpty())
        d->context.hostName = QStringLiteral("localhost");
    if (!QSslSocket::supportsSsl()) {
        d->tlsProblem =
            QStringLiteral("TLS is not available: %1").arg(QSslSocket::sslLibraryVersionString());
    } else if (d->context.options.certificateDirectory.isEmpty()) {
        d->tlsProblem = QStringLiteral("no directory for the TLS certificate is set");
    } else {
        try {
            d->context.tlsIdentity = loadOrCreateTlsIdentity(
                d->context.options.certificateDirectory, d->context.hostName, log);
        } catch (const TlsIdentityError& error) {
            d->tlsProblem = QStringLiteral("no TLS certificate: %1").arg(error.message());
        }
    }
    if (!d->tlsProblem.isEmpty())
        log.error(QStringLiteral("SMTP over TLS is off: %1").arg(d->tlsProblem));
    d->listenerInfo = d->describeListeners();
}

SmtpService::~SmtpService() = default;

void SmtpService::listen(const QHostAddress& host) {
    d->host = host;
    for (const ListenerSecurity security :
         {ListenerSecurity::plain, ListenerSecurity::startTls, ListenerSecurity::implicitTls}) {
        const auto index = static_cast<size_t>(security);
        d->listeners[index].reset();
        d->listenErrors[index].clear();
        if (security == ListenerSecurity::implicitTls && !d->context.tlsIdentity) {
            d->listenErrors[index] = d->tlsProblem;
            continue;
        }
        auto listener =
            std::make_unique<Listener>(security, [this](qintptr descriptor, ListenerSecurity kind) {
                new Connection(descriptor, kind, d->context, &d->connections);
            });
        if (listener->listen(host, d->port(security))) {
            d->listeners[index] = std::move(listener);
        } else {
            d->listenErrors[index] = listener->errorString();
            d->context.log.error(QStringLiteral("couldn't listen for SMTP on %1:%2: %3")
                                     .arg(host.toString(), QString::number(d->port(security)),
                                          listener->errorString()));
        }
    }
    d->listenerInfo = d->describeListeners();
}

QList<ListenerInfo> SmtpService::listeners() const {
    return d->listenerInfo;
}

void SmtpService::setMaxMessageBytes(qint64 bytes, const QString& reason) {
    d->context.options.maxMessageBytes = bytes;
    d->context.options.sizeLimitReason = reason;
}

void SmtpService::setAllowLegacyTls(bool allow) {
    d->context.options.allowLegacyTls = allow;
}

} // namespace zidire
