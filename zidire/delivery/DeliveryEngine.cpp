#include "DeliveryEngine.h"

#include "ControlMessages.h"
#include "OutgoingMessage.h"
#include "ProviderApi.h"
#include "fs/DurableFile.h"
#include "log/Log.h"
#include "store/ProviderEndpoints.h"
#include "store/SettingsStore.h"

#include <QTimer>

namespace zidire {

namespace {

QString megabytes(qint64 bytes) {
    return QString::number(double(bytes) / 1e6, 'f', 1);
}

std::unique_ptr<ProviderApi> apiFor(const Settings& settings) {
    return ProviderApi::forProvider(settings.provider, providerEndpoints(settings));
}

} // namespace

DeliveryEngine::DeliveryEngine(SettingsStore& store, Spool& spool, Log& log,
                               const QString& failedDirectory, const DeliveryTiming& timing,
                               SizeLimitChanged sizeLimitChanged, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_log(log)
    , m_timing(timing)
    , m_sizeLimitChanged(std::move(sizeLimitChanged))
    , m_tokens(m_network, m_timing,
               [this](const ProviderAccount& account, const QString& rotated) {
                   storeRotatedRefreshToken(account, rotated);
               })
    , m_failed(failedDirectory)
    , m_queue(spool, m_failed, m_timing, log,
              {
                  .blocked = [this]() -> std::optional<QString> {
                      const auto current = account();
                      if (const auto* why = std::get_if<QString>(&current))
                          return *why;
                      return std::nullopt;
                  },
                  .send = [this](const Spool::Message& message,
                                 DeliveryQueue::Done done) { return sendQueued(message, done); },
                  .reported = [this](const std::optional<QString>& failure) { record(failure); },
              }) {
    applySizeLimit();
    m_queue.wake();
}

DeliveryEngine::~DeliveryEngine() = default;

std::variant<ProviderAccount, QString> DeliveryEngine::account() const {
    const Settings& settings = m_store.settings();
    const Secrets& secrets = m_store.secrets();
    const std::unique_ptr<ProviderApi> api = apiFor(settings);
    if (!api)
        return QStringLiteral("no sending account is set up yet — sign in to Microsoft 365 or "
                              "Google Workspace");
    if (secrets.refreshToken.isEmpty() || settings.signedInProvider != settings.provider)
        return QStringLiteral("not signed in to %1 — sign in first").arg(api->name());
    if (secrets.refreshToken == m_refusedRefreshToken)
        return m_refusal;
    const bool microsoft = settings.provider == QLatin1String(ProviderKey::m365);
    ProviderAccount account{
        .provider = settings.provider,
        .refreshToken = secrets.refreshToken,
        .clientId = microsoft ? settings.m365ClientId : settings.gmailClientId,
        .clientSecret = microsoft ? secrets.m365ClientSecret : secrets.gmailClientSecret,
        .tenant = microsoft ? settings.m365TenantId : QString(),
        .senderAddress =
            settings.fromAddress.isEmpty() ? settings.signedInEmail : settings.fromAddress,
        .signedInEmail = settings.signedInEmail,
    };
    if (account.clientId.isEmpty())
        return QStringLiteral("the sign-in to %1 is incomplete (the app's client settings are "
                              "missing) — sign in again")
            .arg(api->name());
    if (account.senderAddress.isEmpty())
        return QStringLiteral("no sender address is set");
    return account;
}

bool DeliveryEngine::authenticated() const {
    const Settings& settings = m_store.settings();
    const QString& refreshToken = m_store.secrets().refreshToken;
    return !refreshToken.isEmpty() && settings.signedInProvider == settings.provider &&
           refreshToken != m_refusedRefreshToken;
}

void DeliveryEngine::settingsChanged() {
    if (m_lastFailureIsAuthorization && authenticated())
        record(std::nullopt);
    applySizeLimit();
    m_queue.wake();
}

void DeliveryEngine::messageAccepted() {
    m_queue.wake();
}

void DeliveryEngine::retryNow(Done done) {
    m_log.info(QStringLiteral("retrying the queued messages now"));
    m_queue.retryNow();
    // The retry happens; but a user who asks for it while nothing can be sent must hear why.
    const auto current = account();
    done(std::holds_alternative<QString>(current) ? std::optional(std::get<QString>(current))
                                                  : std::nullopt);
}

void DeliveryEngine::testSend(const QString& to, Done done) {
    const auto current = account();
    if (const auto* why = std::get_if<QString>(&current))
        return done(*why);
    const ProviderAccount& sendAs = std::get<ProviderAccount>(current);
    std::unique_ptr<ProviderApi> api = apiFor(m_store.settings());
    const QString providerName = api->name();
    m_log.info(QStringLiteral("sending a test message to %1 through %2").arg(to, providerName));

    // Holds the attempt and its time limit; whichever ends first answers.
    auto* run = new QObject(this);
    auto answered = std::make_shared<bool>(false);
    auto answer = [this, run, answered, to, done](const std::optional<QString>& failure) {
        if (std::exchange(*answered, true))
            return;
        run->deleteLater();
        if (failure)
            m_log.warning(QStringLiteral("test message to %1 failed: %2").arg(to, *failure));
        else
            m_log.info(QStringLiteral("test message to %1 sent").arg(to));
        done(failure);
    };
    SendAttempt* attempt =
        startAttempt(
            sendAs, std::move(api),
            testMessage(sendAs.senderAddress, to, providerName, QDateTime::currentDateTimeUtc()),
            [this, answer](const SendOutcome& outcome) {
                if (!outcome)
                    record(std::nullopt);
                answer(outcome ? std::optional(outcome->reason) : std::nullopt);
            })
            .release();
    attempt->setParent(run);
    QTimer::singleShot(m_timing.testSendLimit, run, [this, attempt, answer, providerName] {
        delete attempt;
        answer(QStringLiteral("%1 did not answer within %2 s")
                   .arg(providerName)
                   .arg(std::chrono::duration<double>(m_timing.testSendLimit).count()));
    });
}

std::variant<std::unique_ptr<QObject>, SendFailure>
DeliveryEngine::sendQueued(const Spool::Message& message, DeliveryQueue::Done done) {
    const auto current = account();
    if (const auto* why = std::get_if<QString>(&current))
        return SendFailure{.kind = SendFailure::Kind::authorization, .reason = *why};
    const ProviderAccount& sendAs = std::get<ProviderAccount>(current);
    std::unique_ptr<ProviderApi> api = apiFor(m_store.settings());
    QByteArray prepared = prepareForProvider(message, sendAs.senderAddress);
    if (prepared.size() > api->maxMessageBytes())
        return SendFailure{
            .kind = SendFailure::Kind::permanent,
            .reason = QStringLiteral("the message is %1 MB, more than the %2 MB that %3 accepts")
                          .arg(megabytes(prepared.size()), megabytes(api->maxMessageBytes()),
                               api->name())};
    return startAttempt(sendAs, std::move(api), std::move(prepared), std::move(done));
}

std::unique_ptr<SendAttempt> DeliveryEngine::startAttempt(const ProviderAccount& account,
                                                          std::unique_ptr<ProviderApi> api,
                                                          QByteArray message,
                                                          SendAttempt::Done done) {
    return std::make_unique<SendAttempt>(
        SendAttempt::Context{m_network, m_tokens, m_timing}, std::move(api), account,
        std::move(message), [this, account, done = std::move(done)](const SendOutcome& outcome) {
            if (outcome && outcome->kind == SendFailure::Kind::authorization)
                refused(account, *outcome);
            done(outcome);
        });
}

void DeliveryEngine::refused(const ProviderAccount& account, const SendFailure& failure) {
    m_refusedRefreshToken = account.refreshToken;
    m_refusal = failure.reason;
    m_log.error(QStringLiteral("sending stopped until the next sign-in: %1").arg(failure.reason));
    record(failure.reason, true);
}

void DeliveryEngine::storeRotatedRefreshToken(const ProviderAccount& account,
                                              const QString& rotated) {
    Secrets secrets = m_store.secrets();
    if (secrets.refreshToken != account.refreshToken)
        return; // a new sign-in replaced it meanwhile
    secrets.refreshToken = rotated;
    try {
        m_store.save(secrets);
        m_log.info(QStringLiteral("stored the new refresh token the provider issued"));
    } catch (const DurableFileError& error) {
        m_log.error(QStringLiteral("couldn't store the new refresh token the provider issued: %1")
                        .arg(error.message()));
    }
}

void DeliveryEngine::record(const std::optional<QString>& failure, bool authorization) {
    m_lastFailureIsAuthorization = failure && authorization;
    if (failure)
        m_lastFailure = Failure{*failure, std::chrono::steady_clock::now()};
    else
        m_lastFailure.reset();
}

void DeliveryEngine::applySizeLimit() {
    const std::unique_ptr<ProviderApi> api = apiFor(m_store.settings());
    if (!api || !m_sizeLimitChanged)
        return;
    const qint64 limit = api->maxMessageBytes() - addedHeadersAllowance;
    m_sizeLimitChanged(
        limit, QStringLiteral("%1 takes messages of up to %2 bytes").arg(api->name()).arg(limit));
}

} // namespace zidire
