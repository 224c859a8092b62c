#include "ProviderApi.h"

#include "ControlMessages.h"
#include "OAuthScopes.h"
#include "store/ProviderEndpoints.h"

#include <QUrl>

namespace zidire {

namespace {

// application/x-www-form-urlencoded with everything but the unreserved characters escaped, so
// that a "+" or "/" in a token survives.
QByteArray formBody(std::initializer_list<std::pair<const char*, QString>> fields) {
    QByteArray body;
    for (const auto& [name, value] : fields) {
        if (!body.isEmpty())
            body += '&';
        body += QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return body;
}

HttpRequest formRequest(const QUrl& url, const QByteArray& body) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    return {request, body};
}

QNetworkRequest authorized(const QUrl& url, const QString& accessToken,
                           const QByteArray& contentType) {
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return request;
}

QString withoutTrailingSlash(QString base) {
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

// Microsoft Graph: sendMail with the MIME message, Base64-encoded, as text/plain. The message
// is sent from the mailbox in its From header; Graph needs that mailbox in the path unless it is
// the signed-in user's own.
class GraphApi final : public ProviderApi {
public:
    explicit GraphApi(const ProviderEndpoints& endpoints)
        : m_loginBase(withoutTrailingSlash(endpoints.microsoftLoginBase))
        , m_graphBase(withoutTrailingSlash(endpoints.graphBase)) {}

    QString name() const override { return QStringLiteral("Microsoft 365"); }

    // Graph takes requests of up to 4 MB; Base64 makes four bytes of three.
    qint64 maxMessageBytes() const override { return 3'000'000; }

    HttpRequest tokenRequest(const ProviderAccount& account) const override {
        const QString tenant = account.tenant.isEmpty() ? QStringLiteral("common") : account.tenant;
        const QUrl url(m_loginBase + u'/' + QString::fromLatin1(QUrl::toPercentEncoding(tenant)) +
                       QStringLiteral("/oauth2/v2.0/token"));
        QByteArray body = formBody({{"client_id", account.clientId},
                                    {"grant_type", QStringLiteral("refresh_token")},
                                    {"refresh_token", account.refreshToken},
                                    {"scope", QString::fromLatin1(OAuthScope::m365)}});
        if (!account.clientSecret.isEmpty())
            body += '&' + formBody({{"client_secret", account.clientSecret}});
        return formRequest(url, body);
    }

    HttpRequest sendRequest(const ProviderAccount& account, const QByteArray& message,
                            const QString& accessToken) const override {
        const bool ownMailbox =
            account.signedInEmail.isEmpty() ||
            account.senderAddress.compare(account.signedInEmail, Qt::CaseInsensitive) == 0;
        const QString mailbox =
            ownMailbox ? QStringLiteral("me")
                       : QStringLiteral("users/") +
                             QString::fromLatin1(QUrl::toPercentEncoding(account.senderAddress));
        const QUrl url(m_graphBase + QStringLiteral("/v1.0/") + mailbox +
                       QStringLiteral("/sendMail"));
        return {authorized(url, accessToken, QByteArrayLiteral("text/plain")), message.toBase64()};
    }

private:
    QString m_loginBase;
    QString m_graphBase;
};

// The Gmail API: the RFC 822 message as a simple media upload.
class GmailApi final : public ProviderApi {
public:
    explicit GmailApi(const ProviderEndpoints& endpoints)
        : m_tokenUrl(endpoints.googleTokenUrl)
        , m_gmailBase(withoutTrailingSlash(endpoints.gmailBase)) {}

    QString name() const override { return QStringLiteral("Google Workspace"); }

    // Gmail's limit for a message it sends, headers and encoding included.
    qint64 maxMessageBytes() const override { return 25'000'000; }

    HttpRequest tokenRequest(const ProviderAccount& account) const override {
        return formRequest(QUrl(m_tokenUrl),
                           formBody({{"client_id", account.clientId},
                                     {"client_secret", account.clientSecret},
                                     {"grant_type", QStringLiteral("refresh_token")},
                                     {"refresh_token", account.refreshToken}}));
    }

    HttpRequest sendRequest(const ProviderAccount&, const QByteArray& message,
                            const QString& accessToken) const override {
        const QUrl url(m_gmailBase +
                       QStringLiteral("/upload/gmail/v1/users/me/messages/send?uploadType=media"));
        return {authorized(url, accessToken, QByteArrayLiteral("message/rfc822")), message};
    }

private:
    QString m_tokenUrl;
    QString m_gmailBase;
};

} // namespace

std::unique_ptr<ProviderApi> ProviderApi::forProvider(const QString& provider,
                                                      const ProviderEndpoints& endpoints) {
    if (provider == QLatin1String(ProviderKey::m365))
        return std::make_unique<GraphApi>(endpoints);
    if (provider == QLatin1String(ProviderKey::gmail))
        return std::make_unique<GmailApi>(endpoints);
    return nullptr;
}

} // namespace zidire
