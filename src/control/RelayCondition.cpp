#include "RelayCondition.h"

RelayCondition relayCondition(const ControlStatus& status) {
    if (status.provider.isEmpty())
        return RelayCondition::senderNotSet;
    if (!status.authenticated)
        return RelayCondition::signInNeeded;
    if (status.lastError)
        return RelayCondition::sendFailed;
    return RelayCondition::running;
}

QString providerDisplayName(const QString& provider) {
    if (provider == QLatin1String(ProviderKey::m365))
        return QStringLiteral("Microsoft 365");
    if (provider == QLatin1String(ProviderKey::gmail))
        return QStringLiteral("Google Workspace");
    return provider;
}
