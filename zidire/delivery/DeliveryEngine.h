#pragma once

// zidire's delivery: relays the spooled messages through the configured provider with the stored
// sign-in, answers "TestSend" and "RetryNow", and knows whether the sign-in still works.

#include "AccessTokenSource.h"
#include "Delivery.h"
#include "DeliveryQueue.h"
#include "DeliveryTiming.h"
#include "FailedFolder.h"
#include "SendAttempt.h"

#include <QNetworkAccessManager>
#include <QObject>

#include <functional>
#include <variant>

namespace zidire {

class Log;
class SettingsStore;

class DeliveryEngine final : public QObject, public Delivery {
    Q_OBJECT

public:
    // Told the largest message the provider takes, and why, whenever the provider changes; the
    // SMTP intake refuses larger ones up front.
    using SizeLimitChanged = std::function<void(qint64 maxBytes, const QString& why)>;

    // Room left for the header lines that delivery adds (From, Reply-To, Bcc, Date, Message-ID).
    static constexpr qint64 addedHeadersAllowance = 64 * 1024;

    DeliveryEngine(SettingsStore& store, Spool& spool, Log& log, const QString& failedDirectory,
                   const DeliveryTiming& timing, SizeLimitChanged sizeLimitChanged,
                   QObject* parent = nullptr);
    ~DeliveryEngine() override;

    void testSend(const QString& to, Done done) override;
    void retryNow(Done done) override;
    std::optional<Failure> lastFailure() const override { return m_lastFailure; }
    bool authenticated() const override;
    void settingsChanged() override;

    // A message arrived in the spool.
    void messageAccepted();

private:
    // The signed-in account to send with, or why there is none.
    std::variant<ProviderAccount, QString> account() const;
    std::variant<std::unique_ptr<QObject>, SendFailure> sendQueued(const Spool::Message& message,
                                                                   DeliveryQueue::Done done);
    std::unique_ptr<SendAttempt> startAttempt(const ProviderAccount& account,
                                              std::unique_ptr<ProviderApi> api, QByteArray message,
                                              SendAttempt::Done done);
    void refused(const ProviderAccount& account, const SendFailure& failure);
    void storeRotatedRefreshToken(const ProviderAccount& account, const QString& rotated);
    void record(const std::optional<QString>& failure, bool authorization = false);
    void applySizeLimit();

    SettingsStore& m_store;
    Log& m_log;
    DeliveryTiming m_timing;
    SizeLimitChanged m_sizeLimitChanged;
    QNetworkAccessManager m_network;
    AccessTokenSource m_tokens;
    FailedFolder m_failed;
    DeliveryQueue m_queue;

    std::optional<Failure> m_lastFailure;
    bool m_lastFailureIsAuthorization = false;
    // The refresh token the provider refused, and what it said: sending waits for another.
    QString m_refusedRefreshToken;
    QString m_refusal;
};

} // namespace zidire
