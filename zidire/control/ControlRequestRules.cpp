#include "ControlRequestRules.h"

#include "ControlCodec.h"

namespace zidire {

namespace {

QString quoted(const QString& text) {
    return u'"' + text + u'"';
}

bool hasControlCharacters(const QString& text) {
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control)
            return true;
    return false;
}

bool isProvider(const QString& text) {
    return text == QLatin1String(ProviderKey::m365) || text == QLatin1String(ProviderKey::gmail);
}

std::optional<QString> providerProblem(const QString& member, const QString& provider) {
    if (isProvider(provider))
        return std::nullopt;
    return QStringLiteral("%1 must be \"m365\" or \"gmail\"").arg(quoted(member));
}

std::optional<QString> addressProblem(const QString& member, const QString& address) {
    if (isMailAddress(address))
        return std::nullopt;
    return QStringLiteral("%1 isn't an e-mail address").arg(quoted(member));
}

// Texts that end up in SMTP exchanges or the settings must be usable there: not empty, and no
// control characters (a NUL can't even be carried by AUTH PLAIN).
std::optional<QString> textProblem(const QString& member, const QString& text) {
    if (text.isEmpty())
        return QStringLiteral("%1 is empty").arg(quoted(member));
    if (hasControlCharacters(text))
        return QStringLiteral("%1 contains control characters").arg(quoted(member));
    return std::nullopt;
}

std::optional<QString> oauthProblem(const OAuthUpdate& oauth) {
    if (!oauth.gmail && !oauth.m365)
        return QStringLiteral("\"oauth\" needs \"gmail\" or \"m365\"");
    if (oauth.gmail) {
        if (auto problem =
                textProblem(QStringLiteral("oauth.gmail.client_id"), oauth.gmail->clientId))
            return problem;
    }
    if (oauth.m365) {
        if (auto problem =
                textProblem(QStringLiteral("oauth.m365.client_id"), oauth.m365->clientId))
            return problem;
        if (auto problem =
                textProblem(QStringLiteral("oauth.m365.tenant_id"), oauth.m365->tenantId))
            return problem;
    }
    return std::nullopt;
}

std::optional<QString> setConfigProblem(const ControlRequest& request) {
    const int members = int(request.sender.has_value()) + int(request.deviceUser.has_value()) +
                        int(request.listenHost.has_value()) + int(request.oauth.has_value());
    if (members != 1)
        return QStringLiteral("\"SetConfig\" needs exactly one of \"sender\", \"device_user\", "
                              "\"listen_host\" or \"oauth\"");
    if (request.sender) {
        if (auto problem =
                providerProblem(QStringLiteral("sender.provider"), request.sender->provider))
            return problem;
        return addressProblem(QStringLiteral("sender.from_address"), request.sender->fromAddress);
    }
    if (request.deviceUser) {
        if (auto problem =
                textProblem(QStringLiteral("device_user.username"), request.deviceUser->username))
            return problem;
        return textProblem(QStringLiteral("device_user.password"), request.deviceUser->password);
    }
    if (request.listenHost) {
        if (isDottedDecimalIPv4(*request.listenHost))
            return std::nullopt;
        return QStringLiteral("\"listen_host\" isn't a dotted-decimal IPv4 address");
    }
    return oauthProblem(*request.oauth);
}

std::optional<QString> missing(const char* command, const char* member) {
    return QStringLiteral("\"%1\" needs \"%2\"").arg(QLatin1String(command), QLatin1String(member));
}

std::optional<QString> setCredentialsProblem(const ControlRequest& request) {
    if (!request.provider)
        return missing(ControlCommand::setCredentials, "provider");
    if (!request.refreshToken)
        return missing(ControlCommand::setCredentials, "refresh_token");
    if (auto problem = providerProblem(QStringLiteral("provider"), *request.provider))
        return problem;
    if (auto problem = textProblem(QStringLiteral("refresh_token"), *request.refreshToken))
        return problem;
    // The account's name as the sign-in gave it (preferred_username may be a bare user name or
    // a phone number). It is only ever shown, never sent to, so any text that fits on a line
    // will do; refusing it would throw the sign-in away.
    if (request.email)
        return textProblem(QStringLiteral("email"), *request.email);
    return std::nullopt;
}

} // namespace

bool isMailAddress(const QString& text) {
    const qsizetype at = text.lastIndexOf(u'@');
    if (at <= 0 || at == text.size() - 1 || text.size() > 254)
        return false;
    for (const QChar c : text)
        if (c.isSpace() || c.category() == QChar::Other_Control || c == u'<' || c == u'>')
            return false;
    return true;
}

bool isDottedDecimalIPv4(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.startsWith(u'0')))
            return false;
        for (const QChar c : part)
            if (c < u'0' || c > u'9')
                return false;
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

std::optional<QString> requestProblem(const ControlRequest& request) {
    const QString& command = request.command;
    if (command == QLatin1String(ControlCommand::getStatus) ||
        command == QLatin1String(ControlCommand::retryNow) ||
        command == QLatin1String(ControlCommand::getLog))
        return std::nullopt;
    if (command == QLatin1String(ControlCommand::setConfig))
        return setConfigProblem(request);
    if (command == QLatin1String(ControlCommand::setCredentials))
        return setCredentialsProblem(request);
    if (command == QLatin1String(ControlCommand::testSend)) {
        if (!request.to)
            return missing(ControlCommand::testSend, "to");
        return addressProblem(QStringLiteral("to"), *request.to);
    }
    if (command == QLatin1String(ControlCommand::getDevicePassword)) {
        if (!request.authorization)
            return QString::fromLatin1(authorizationRequired);
        return std::nullopt;
    }
    return QStringLiteral("unknown command %1").arg(quoted(command.left(64)));
}

ControlRequestReading readControlRequest(const QByteArray& object) {
    ControlRequest request;
    try {
        request = decodeControlRequest(object);
    } catch (const ControlDecodingError& error) {
        return {std::nullopt, error.description()};
    }
    if (auto problem = requestProblem(request))
        return {std::nullopt, *problem};
    return {std::move(request), {}};
}

} // namespace zidire
