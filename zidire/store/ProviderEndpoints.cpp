#include "ProviderEndpoints.h"

#include "Settings.h"

namespace zidire {

namespace {

QString endpoint(const char* variable, const QString& fromSettings, const char* realHost) {
    if (QString fromEnvironment = qEnvironmentVariable(variable); !fromEnvironment.isEmpty())
        return fromEnvironment;
    return fromSettings.isEmpty() ? QString::fromLatin1(realHost) : fromSettings;
}

} // namespace

ProviderEndpoints providerEndpoints(const Settings& settings) {
    return {
        endpoint("ZIDIRE_MICROSOFT_LOGIN_BASE", settings.microsoftLoginBase,
                 "https://login.microsoftonline.com"),
        endpoint("ZIDIRE_GRAPH_BASE", settings.graphBase, "https://graph.microsoft.com"),
        endpoint("ZIDIRE_GOOGLE_TOKEN_URL", settings.googleTokenUrl,
                 "https://oauth2.googleapis.com/token"),
        endpoint("ZIDIRE_GMAIL_BASE", settings.gmailBase, "https://gmail.googleapis.com"),
    };
}

} // namespace zidire
