#include "AccessTokenSource.h"

#include "ProviderReplies.h"

namespace zidire {

AccessTokenSource::AccessTokenSource(QNetworkAccessManager& network, const DeliveryTiming& timing,
                                     StoreRotated storeRotated, QObject* parent)
    : QObject(parent)
    , m_network(network)
    , m_timing(timing)
    , m_storeRotated(std::move(storeRotated)) {}

AccessTokenSource::~AccessTokenSource() = default;

void AccessTokenSource::get(const ProviderAccount& account, const ProviderApi& api, Done done) {
    if (!m_cached.isEmpty() && m_cachedFor.sameSignIn(account) && !m_renewAt.hasExpired())
        return done(m_cached);
    for (Renewal& renewal : m_renewals) {
        if (renewal.account.sameSignIn(account)) {
            renewal.waiting.append(std::move(done));
            return;
        }
    }
    auto renewal =
        m_renewals.insert(m_renewals.end(), Renewal{account, {std::move(done)}, new QObject(this)});
    postHttp(m_network, api.tokenRequest(account), m_timing.transferTimeout, renewal->exchange,
             [this, renewal, providerName = api.name()](const HttpResponse& response) {
                 finished(renewal, response, providerName);
             });
}

void AccessTokenSource::invalidate(const QString& accessToken) {
    if (accessToken == m_cached)
        forget();
}

void AccessTokenSource::forget() {
    m_cached.clear();
}

void AccessTokenSource::finished(std::list<Renewal>::iterator renewal, const HttpResponse& response,
                                 const QString& providerName) {
    const Renewal done = std::move(*renewal);
    m_renewals.erase(renewal);
    done.exchange->deleteLater();

    const auto result = readTokenResponse(response, providerName);
    if (const auto* token = std::get_if<AccessToken>(&result)) {
        forget();
        m_cached = token->value;
        m_cachedFor = done.account;
        const auto lifetime =
            std::chrono::duration_cast<std::chrono::milliseconds>(token->lifetime);
        // Renewed a margin before it expires, or halfway through a lifetime shorter than that.
        m_renewAt.setRemainingTime(std::max(lifetime - m_timing.tokenRenewalMargin, lifetime / 2));
        if (!token->rotatedRefreshToken.isEmpty() &&
            token->rotatedRefreshToken != done.account.refreshToken) {
            m_cachedFor.refreshToken = token->rotatedRefreshToken;
            m_storeRotated(done.account, token->rotatedRefreshToken);
        }
    }
    const Result answer = std::holds_alternative<AccessToken>(result)
                              ? Result(std::get<AccessToken>(result).value)
                              : Result(std::get<SendFailure>(result));
    for (const Done& waiting : done.waiting)
        waiting(answer);
}

} // namespace zidire
