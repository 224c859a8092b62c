#include "ControlCommands.h"

#include "auth/AuthorityTokens.h"
#include "control/ControlRequestRules.h"
#include "delivery/Delivery.h"
#include "fs/DurableFile.h"
#include "log/Log.h"
#include "log/LogText.h"
#include "smtp/SmtpService.h"
#include "spool/Spool.h"
#include "store/SettingsStore.h"

#include <QHostAddress>
#include <QTcpServer>

namespace zidire {

namespace {

constexpr qint64 logTailBytes = 64 * 1024;

ControlResponse okResponse() {
    return {.ok = true};
}
ControlResponse failure(const QString& error) {
    return {.ok = false, .error = error};
}

void answerWhenDone(const ControlServer::Reply& reply, const std::optional<QString>& failed) {
    reply(failed ? failure(*failed) : okResponse());
}

std::optional<QString> nonEmpty(const QString& text) {
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

// Why the SMTP listeners couldn't move to `host`, or nothing when they can: the address must be
// one of this machine's, found out by binding to it on a port of the system's choosing. The
// listeners' own ports can't be tried beforehand, since the listeners in use may hold them.
std::optional<QString> unusableListenAddress(const QHostAddress& host) {
    QTcpServer probe;
    if (probe.listen(host, 0))
        return std::nullopt;
    if (probe.serverError() == QAbstractSocket::SocketAddressNotAvailableError)
        return QStringLiteral("%1 isn't an address of this machine").arg(host.toString());
    return QStringLiteral("can't listen on %1: %2").arg(host.toString(), probe.errorString());
}

} // namespace

ControlCommands::ControlCommands(SettingsStore& store, SmtpService& smtp, const Spool& spool,
                                 Log& log, const AuthorityTokens& tokens, Delivery& delivery)
    : m_store(store)
    , m_smtp(smtp)
    , m_spool(spool)
    , m_log(log)
    , m_tokens(tokens)
    , m_delivery(delivery) {
    m_uptime.start();
}

void ControlCommands::handle(const ControlRequest& request, const ControlServer::Reply& reply) {
    const QString& command = request.command;
    try {
        if (command == QLatin1String(ControlCommand::getStatus))
            reply(status());
        else if (command == QLatin1String(ControlCommand::setConfig))
            reply(setConfig(request));
        else if (command == QLatin1String(ControlCommand::setCredentials))
            reply(setCredentials(request));
        else if (command == QLatin1String(ControlCommand::getLog))
            reply({.ok = true, .logTail = m_log.tail(logTailBytes)});
        else if (command == QLatin1String(ControlCommand::getDevicePassword))
            reply(devicePassword(request));
        else if (command == QLatin1String(ControlCommand::testSend))
            m_delivery.testSend(*request.to, [reply](const std::optional<QString>& failed) {
                answerWhenDone(reply, failed);
            });
        else if (command == QLatin1String(ControlCommand::retryNow))
            m_delivery.retryNow(
                [reply](const std::optional<QString>& failed) { answerWhenDone(reply, failed); });
        else
            reply(failure(QStringLiteral("unknown command \"%1\"").arg(command)));
    } catch (const DurableFileError& error) {
        m_log.error(QStringLiteral("couldn't save the settings: %1").arg(error.message()));
        reply(failure(QStringLiteral("couldn't save the settings: %1").arg(error.message())));
    }
}

ControlResponse ControlCommands::status() const {
    const Settings& settings = m_store.settings();
    const Secrets& secrets = m_store.secrets();
    ControlStatus status{
        .version = QStringLiteral(MOXTREL_VERSION),
        .provider = settings.provider,
        .fromAddress = settings.fromAddress,
        .authenticated = m_delivery.authenticated(),
        .signedInEmail = nonEmpty(settings.signedInEmail),
        .deviceUsername = settings.deviceUsername,
        .devicePasswordStored = !secrets.devicePassword.isEmpty(),
        .spoolDepth = m_spool.depth(),
        .uptimeSeconds = double(m_uptime.elapsed()) / 1000.0,
        .listeners = m_smtp.listeners(),
    };
    if (const std::optional<Delivery::Failure> failed = m_delivery.lastFailure()) {
        status.lastError = failed->text;
        status.lastErrorAgeSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - failed->at).count();
    }
    return {.ok = true, .status = std::move(status)};
}

ControlResponse ControlCommands::setConfig(const ControlRequest& request) {
    Settings settings = m_store.settings();
    Secrets secrets = m_store.secrets();
    if (request.sender) {
        settings.provider = request.sender->provider;
        settings.fromAddress = request.sender->fromAddress;
        m_store.save(settings);
        m_log.info(QStringLiteral("sending through %1 from %2")
                       .arg(settings.provider, logText(settings.fromAddress)));
        m_delivery.settingsChanged();
    } else if (request.deviceUser) {
        // The password first: a crash in between leaves the old name, which fails loudly at the
        // next AUTH, rather than a new name that a stale password might match.
        secrets.devicePassword = request.deviceUser->password;
        m_store.save(secrets);
        settings.deviceUsername = request.deviceUser->username;
        m_store.save(settings);
        m_log.info(
            QStringLiteral("device account set to \"%1\"").arg(logText(settings.deviceUsername)));
    } else if (request.listenHost) {
        // Checked before anything changes: the listeners in use stay when the new address
        // can't be had.
        const QHostAddress host(*request.listenHost);
        if (const std::optional<QString> unusable = unusableListenAddress(host)) {
            m_log.warning(QStringLiteral("kept the listening address %1: %2")
                              .arg(logText(settings.listenHost), *unusable));
            return failure(*unusable);
        }
        settings.listenHost = *request.listenHost;
        m_store.save(settings);
        m_log.info(QStringLiteral("listening address set to %1").arg(settings.listenHost));
        m_smtp.listen(host);
    } else if (request.oauth) {
        if (const auto& gmail = request.oauth->gmail) {
            secrets.gmailClientSecret = gmail->clientSecret;
            settings.gmailClientId = gmail->clientId;
        }
        if (const auto& m365 = request.oauth->m365) {
            secrets.m365ClientSecret = m365->clientSecret;
            settings.m365ClientId = m365->clientId;
            settings.m365TenantId = m365->tenantId;
        }
        m_store.save(secrets);
        m_store.save(settings);
        m_log.info(QStringLiteral("OAuth client updated"));
        m_delivery.settingsChanged();
    }
    return okResponse();
}

ControlResponse ControlCommands::setCredentials(const ControlRequest& request) {
    Secrets secrets = m_store.secrets();
    secrets.refreshToken = *request.refreshToken;
    m_store.save(secrets);
    Settings settings = m_store.settings();
    settings.provider = *request.provider;
    settings.signedInProvider = *request.provider;
    settings.signedInEmail = request.email.value_or(QString());
    m_store.save(settings);
    m_log.info(request.email ? QStringLiteral("signed in to %1 as %2")
                                   .arg(*request.provider, logText(*request.email))
                             : QStringLiteral("signed in to %1").arg(*request.provider));
    m_delivery.settingsChanged();
    return okResponse();
}

ControlResponse ControlCommands::devicePassword(const ControlRequest& request) {
    if (const std::optional<QString> refused = m_tokens.consume(*request.authorization)) {
        m_log.warning(QStringLiteral("refused to reveal the device password: %1").arg(*refused));
        return failure(QString::fromLatin1(authorizationRequired));
    }
    const QString& password = m_store.secrets().devicePassword;
    if (password.isEmpty())
        return failure(QStringLiteral("no device password is stored"));
    m_log.info(QStringLiteral("device password revealed to an administrator"));
    return {.ok = true, .devicePassword = password};
}

} // namespace zidire
