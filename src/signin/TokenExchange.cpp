#include "TokenExchange.h"

#include "ControlCodec.h"
#include "NetworkError.h"
#include "OAuthFlowError.h"
#include "StrictUtf8.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <utility>

namespace {

using FormFields = QList<std::pair<QString, QString>>;

// Names as they are; values with everything but ASCII letters, digits and "-._~" escaped.
QByteArray formBody(const FormFields& fields) {
    QByteArrayList pairs;
    for (const auto& [name, value] : fields)
        pairs.append(name.toUtf8() + '=' + value.toUtf8().toPercentEncoding());
    return pairs.join('&');
}

// Qt reports HTTP error statuses as reply errors too; those answers still carry a body to read.
// A failure below HTTP (connection, TLS, time-out, a broken response) has no usable answer.
bool isTransportFailure(const QNetworkReply& reply) {
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return false;
    if (error < QNetworkReply::ContentAccessDenied || error == QNetworkReply::ProtocolFailure ||
        error == QNetworkReply::ProtocolUnknownError)
        return true;
    return !reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

OAuthSignInResult signInResultFrom(const QByteArray& body) {
    const auto response = TokenResponse::decode(body);
    if (!response) {
        throw OAuthFlowError::exchangeFailed(
            decodeStrictUtf8(body).value_or(QStringLiteral("unreadable response")));
    }
    if (response->error)
        throw OAuthFlowError::providerError(response->errorDescription.value_or(*response->error));
    if (!response->refreshToken || response->refreshToken->isEmpty())
        throw OAuthFlowError::noRefreshToken();
    return {
        .refreshToken = *response->refreshToken,
        .email = response->idToken ? emailFromIDToken(*response->idToken) : std::nullopt,
    };
}

} // namespace

std::optional<TokenResponse> TokenResponse::decode(const QByteArray& body) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;

    TokenResponse response;
    const std::pair<QLatin1StringView, std::optional<QString>*> members[] = {
        {QLatin1StringView("refreshToken"), &response.refreshToken},
        {QLatin1StringView("idToken"), &response.idToken},
        {QLatin1StringView("error"), &response.error},
        {QLatin1StringView("errorDescription"), &response.errorDescription},
    };
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString name = fromSnakeCase(it.key());
        for (const auto& [memberName, field] : members) {
            if (name != memberName)
                continue;
            if (it->isNull())
                field->reset();
            else if (it->isString())
                *field = it->toString();
            else
                return std::nullopt;
        }
    }
    return response;
}

QCoro::Task<OAuthSignInResult> exchangeCode(QString code, OAuthProviderApp app, QString redirectURI,
                                            QString verifier, CancellationToken cancellation) {
    if (cancellation.isCancelled())
        throw CancellationError();

    QNetworkRequest request(app.tokenURL);
    request.setTransferTimeout(
        int(std::chrono::duration_cast<std::chrono::milliseconds>(tokenRequestTimeout).count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    FormFields fields{
        {QStringLiteral("client_id"), app.clientID},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("code"), code},
        {QStringLiteral("redirect_uri"), redirectURI},
        {QStringLiteral("code_verifier"), verifier},
    };
    if (!app.clientSecret.isEmpty())
        fields.append({QStringLiteral("client_secret"), app.clientSecret});

    QNetworkAccessManager network; // owns the reply
    QNetworkReply* const reply = network.post(request, formBody(fields));
    const auto registration = cancellation.onCancel([reply] { reply->abort(); });
    if (!reply->isFinished())
        co_await qCoro(reply, &QNetworkReply::finished);

    if (cancellation.isCancelled())
        throw CancellationError();
    if (isTransportFailure(*reply))
        throw NetworkError(reply->errorString());
    co_return signInResultFrom(reply->readAll());
}

std::optional<QString> emailFromIDToken(const QString& idToken) {
    const QStringList pieces = idToken.split(u'.', Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return std::nullopt;
    // Base64url without its padding, as JWTs carry it.
    const auto decoded = QByteArray::fromBase64Encoding(
        pieces[1].toLatin1(),
        QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const QJsonDocument claims = QJsonDocument::fromJson(*decoded);
    if (!claims.isObject())
        return std::nullopt;
    for (const char* claim : {"preferred_username", "email", "upn"}) {
        const QJsonValue value = claims.object().value(QLatin1StringView(claim));
        if (value.isString() && !value.toString().isEmpty())
            return value.toString();
    }
    return std::nullopt;
}
