#include "Daemon.h"

#include "FileDescriptor.h"
#include "RelayContract.h"
#include "control/ControlRequestRules.h"
#include "log/LogText.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zidire {

namespace {

const char* modeName(RelayMode mode) {
    return mode == RelayMode::system ? "system" : "local";
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The state holds the secrets: only zidire's user may look into it. A directory that exists
// already is made so too; one that belongs to someone else, who could open it up again, is not
// used at all.
QString preparedStateDirectory(const QString& directory) {
    // What failed (%1 the directory, %2 the reason), with errno of the call that just failed.
    const auto failure = [&directory](const QString& what) {
        const int error = errno;
        return std::runtime_error(what.arg(directory, errnoText(error)).toStdString());
    };
    const QByteArray path = QFile::encodeName(directory);
    if (!QFileInfo(directory).isDir()) {
        QDir().mkpath(QFileInfo(directory).absolutePath());
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            throw failure(QStringLiteral("can't create the state directory %1: %2"));
    }
    const FileDescriptor opened(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!opened.isValid() || ::fstat(opened.get(), &info) != 0)
        throw failure(QStringLiteral("can't open the state directory %1: %2"));
    if (info.st_uid != ::geteuid())
        throw std::runtime_error(
            QStringLiteral("the state directory %1 belongs to uid %2, not to zidire's uid %3; "
                           "not keeping secrets there")
                .arg(directory, QString::number(info.st_uid), QString::number(::geteuid()))
                .toStdString());
    if ((info.st_mode & 07777) != 0700 && ::fchmod(opened.get(), 0700) != 0)
        throw failure(
            QStringLiteral("the state directory %1 can't be made private (mode 0700): %2"));
    return directory;
}

SmtpOptions smtpOptions(const DaemonOptions& options, const Settings& settings) {
    SmtpOptions smtp;
    smtp.plainPort = options.smtpPorts.plain;
    smtp.starttlsPort = options.smtpPorts.starttls;
    smtp.implicitTlsPort = options.smtpPorts.implicitTls;
    smtp.certificateDirectory = QDir(options.stateDirectory).filePath(QStringLiteral("tls"));
    smtp.allowLegacyTls = settings.allowLegacyTls;
    return smtp;
}

uid_t tokenOwner(RelayMode mode) {
    return mode == RelayMode::system ? 0 : ::geteuid();
}

} // namespace

Daemon::Daemon(const DaemonOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_pidFile(QDir(preparedStateDirectory(options.stateDirectory))
                    .filePath(QLatin1String(RelayContract::pidFileName)))
    // System mode: every local account can open the socket, and the peer policy (m_peers)
    // decides who is answered.
    , m_socketFile(options.socketPath, options.mode == RelayMode::system
                                           ? SocketAccess::anyLocalUser
                                           : SocketAccess::ownerOnly)
    , m_log(options.logFile, options.logToStandardError)
    , m_store(options.stateDirectory, m_log)
    , m_spool(QDir(options.stateDirectory).filePath(QStringLiteral("spool")), m_log)
    , m_smtp(smtpOptions(options, m_store.settings()), m_spool, m_log,
             [this] { return deviceLogin(); })
    , m_tokens(options.authorityDirectory, tokenOwner(options.mode))
    , m_delivery(
          m_store, m_spool, m_log, QDir(options.stateDirectory).filePath(QStringLiteral("failed")),
          DeliveryTiming{},
          [this](qint64 bytes, const QString& reason) { m_smtp.setMaxMessageBytes(bytes, reason); })
    , m_commands(m_store, m_smtp, m_spool, m_log, m_tokens, m_delivery)
    , m_logind(options.mode == RelayMode::system ? std::make_unique<LogindSessions>() : nullptr)
    , m_peers(m_logind ? std::make_unique<ControlPeerPolicy>(
                             [this](uid_t uid, ControlPeerPolicy::Answer answer) {
                                 m_logind->ask(uid, std::move(answer));
                             })
                       : nullptr)
    , m_server(
          m_socketFile.descriptor(),
          [this](const ControlRequest& request, const ControlServer::Reply& reply) {
              m_commands.handle(request, reply);
          },
          ControlLimits{.clientTimeout = options.controlClientTimeout}, m_peers.get()) {
    connect(&m_server, &ControlServer::peerRefused, this,
            [this](qint64 uid, const QString& why) { logRefusal(uid, why); });
    connect(&m_signals, &ShutdownSignals::received, this, [this](const QString& signalName) {
        m_log.info(QStringLiteral("stopping on %1").arg(signalName));
        Q_EMIT stopRequested();
    });
    connect(&m_smtp, &SmtpService::messageAccepted, this, [this] { m_delivery.messageAccepted(); });
    m_smtp.listen(listenAddress());
    logListeners();
    m_log.info(QStringLiteral("zidire %1 running in %2 mode: control socket %3, state in %4, "
                              "%5 spooled messages")
                   .arg(QStringLiteral(MOXTREL_VERSION), QLatin1String(modeName(options.mode)),
                        m_socketFile.path(), options.stateDirectory,
                        QString::number(m_spool.depth())));
}

Daemon::~Daemon() {
    // The SMTP service outlives the delivery engine and may still finish a message on its way
    // out.
    disconnect(&m_smtp, nullptr, this, nullptr);
    m_log.info(QStringLiteral("stopped"));
}

std::optional<DeviceLogin> Daemon::deviceLogin() const {
    const QString& username = m_store.settings().deviceUsername;
    const QString& password = m_store.secrets().devicePassword;
    if (username.isEmpty() || password.isEmpty())
        return std::nullopt;
    return DeviceLogin{username, password};
}

QHostAddress Daemon::listenAddress() {
    const QString& host = m_store.settings().listenHost;
    if (isDottedDecimalIPv4(host))
        return QHostAddress(host);
    m_log.error(
        QStringLiteral("the listening address \"%1\" in the settings isn't a dotted-decimal "
                       "IPv4 address; listening on all addresses instead")
            .arg(logText(host)));
    return QHostAddress(QHostAddress::AnyIPv4);
}

void Daemon::logRefusal(qint64 uid, const QString& why) {
    Refusals& refusals = m_refusals[uid];
    if (refusals.lastLogged.isValid() && !refusals.lastLogged.hasExpired(60'000)) {
        ++refusals.unlogged;
        return;
    }
    const QString since = refusals.unlogged == 0
                              ? QString()
                              : QStringLiteral(" (and %1 more from this user since the last such "
                                               "line)")
                                    .arg(refusals.unlogged);
    // `why` may carry what the system bus or logind said.
    m_log.warning(
        QStringLiteral("control connection refused: %1%2").arg(logText(why, 1024), since));
    refusals.lastLogged.start();
    refusals.unlogged = 0;
}

void Daemon::logListeners() {
    for (const ListenerInfo& listener : m_smtp.listeners()) {
        if (listener.error && !listener.error->isEmpty())
            m_log.error(QStringLiteral("SMTP (%1) can't listen on %2: %3")
                            .arg(listener.tls, listener.address, *listener.error));
        else
            m_log.info(
                QStringLiteral("SMTP (%1) listening on %2").arg(listener.tls, listener.address));
    }
}

} // namespace zidire
