#include "ProviderReplies.h"

#include "log/LogText.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace zidire {

namespace {

using Kind = SendFailure::Kind;

// OAuth errors (RFC 6749 5.2, OpenID Connect 3.1.2.6) that mean the refresh token can no longer
// be used: expired, revoked, or waiting for the user to sign in or consent again.
bool meansSignInAgain(const QString& error) {
    static const QStringList errors{
        QStringLiteral("invalid_grant"),  QStringLiteral("interaction_required"),
        QStringLiteral("login_required"), QStringLiteral("consent_required"),
        QStringLiteral("invalid_scope"),  QStringLiteral("account_selection_required"),
    };
    return errors.contains(error);
}

bool worthRetrying(int status) {
    return status == 408 || status == 429 || status >= 500;
}

QJsonObject jsonObject(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

// The provider's explanation: Graph's and Google's {"error":{"message"}}, or the OAuth error;
// else the body itself when it is short text.
QString explanation(const HttpResponse& response) {
    const QJsonObject object = jsonObject(response.body);
    const QJsonValue error = object.value(QStringLiteral("error"));
    if (error.isObject()) {
        const QString message = error.toObject().value(QStringLiteral("message")).toString();
        if (!message.isEmpty())
            return message;
    }
    const QString description = object.value(QStringLiteral("error_description")).toString();
    if (!description.isEmpty())
        return description;
    if (error.isString())
        return error.toString();
    const QString text = QString::fromUtf8(response.body).simplified();
    if (!text.isEmpty() && text.size() <= 200 && !text.startsWith(u'<'))
        return text;
    return {};
}

QString withStatus(const QString& what, const HttpResponse& response) {
    const QString why = logText(explanation(response));
    const QString status = QString::number(response.status);
    return why.isEmpty() ? QStringLiteral("%1 (HTTP %2)").arg(what, status)
                         : QStringLiteral("%1: %2 (HTTP %3)").arg(what, why, status);
}

SendFailure transient(const QString& reason, const HttpResponse& response) {
    return {.kind = Kind::transient,
            .reason = reason,
            .retryAfter = response.retryAfter,
            .throttled = response.status == 429};
}

} // namespace

std::variant<AccessToken, SendFailure> readTokenResponse(const HttpResponse& response,
                                                         const QString& providerName) {
    const QString service = QStringLiteral("%1's sign-in service").arg(providerName);
    if (response.status == 0)
        return transient(
            QStringLiteral("couldn't reach %1: %2").arg(service, logText(response.transportError)),
            response);
    const QJsonObject object = jsonObject(response.body);
    const QString error = object.value(QStringLiteral("error")).toString();
    if (response.status >= 200 && response.status < 300) {
        const QString token = object.value(QStringLiteral("access_token")).toString();
        if (token.isEmpty())
            return transient(QStringLiteral("%1 answered without an access token").arg(service),
                             response);
        return AccessToken{
            token,
            std::chrono::seconds(object.value(QStringLiteral("expires_in")).toInteger(3600)),
            object.value(QStringLiteral("refresh_token")).toString(),
        };
    }
    if (worthRetrying(response.status) || error == u"temporarily_unavailable" ||
        error == u"server_error")
        return transient(withStatus(QStringLiteral("%1 failed").arg(service), response), response);
    if (meansSignInAgain(error))
        return SendFailure{.kind = Kind::authorization, .reason = QString::fromUtf8(signInExpired)};
    // Any other refusal (an unknown client, a malformed request) will not go away by retrying
    // either; a new sign-in replaces everything the request was made of.
    return SendFailure{
        .kind = Kind::authorization,
        .reason = withStatus(QStringLiteral("%1 refused the sign-in").arg(service), response) +
                  QStringLiteral(" — sign in again")};
}

SendOutcome readSendResponse(const HttpResponse& response, const QString& providerName) {
    if (response.status == 0)
        return transient(QStringLiteral("couldn't reach %1: %2")
                             .arg(providerName, logText(response.transportError)),
                         response);
    if (response.status >= 200 && response.status < 300)
        return std::nullopt;
    if (response.status == 401)
        return SendFailure{
            .kind = Kind::authorization,
            .reason = withStatus(QStringLiteral("%1 refused the access token").arg(providerName),
                                 response) +
                      QStringLiteral(" — sign in again")};
    if (worthRetrying(response.status))
        return transient(withStatus(QStringLiteral("%1 failed").arg(providerName), response),
                         response);
    return SendFailure{
        .kind = Kind::permanent,
        .reason = withStatus(QStringLiteral("%1 refused the message").arg(providerName), response)};
}

} // namespace zidire
