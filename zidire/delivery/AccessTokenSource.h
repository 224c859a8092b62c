#pragma once

// Access tokens for the provider's API, renewed from the refresh token: kept until shortly before
// they expire, one renewal at a time for any number of waiting sends. A refresh token that the
// provider replaces is handed on to be stored at once.

#include "DeliveryTiming.h"
#include "ProviderApi.h"
#include "SendFailure.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>

#include <functional>
#include <list>
#include <variant>

class QNetworkAccessManager;

namespace zidire {

class AccessTokenSource : public QObject {
    Q_OBJECT

public:
    using Result = std::variant<QString, SendFailure>; // the access token, or why there is none
    using Done = std::function<void(const Result&)>;
    // The provider issued `rotated` in place of `account`'s refresh token.
    using StoreRotated =
        std::function<void(const ProviderAccount& account, const QString& rotated)>;

    AccessTokenSource(QNetworkAccessManager& network, const DeliveryTiming& timing,
                      StoreRotated storeRotated, QObject* parent = nullptr);
    ~AccessTokenSource() override;

    // Calls `done` with a token for `account`: at once from the cache, else once renewed.
    void get(const ProviderAccount& account, const ProviderApi& api, Done done);
    // The provider refused `accessToken`: the next get() renews it.
    void invalidate(const QString& accessToken);

private:
    struct Renewal {
        ProviderAccount account;
        QList<Done> waiting;
        QObject* exchange;
    };

    void finished(std::list<Renewal>::iterator renewal, const HttpResponse& response,
                  const QString& providerName);
    void forget();

    QNetworkAccessManager& m_network;
    const DeliveryTiming& m_timing;
    StoreRotated m_storeRotated;

    ProviderAccount m_cachedFor;
    QString m_cached;
    QDeadlineTimer m_renewAt;
    std::list<Renewal> m_renewals;
};

} // namespace zidire
