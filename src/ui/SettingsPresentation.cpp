#include "SettingsPresentation.h"

SignedInLabel signedInLabel(const std::optional<ControlStatus>& status) {
    if (!status || !status->authenticated)
        return {Tint::red, QStringLiteral("No")};
    const QString email = status->signedInEmail.value_or(QString());
    if (email.isEmpty())
        return {Tint::green, QStringLiteral("Yes")};
    return {Tint::green, email, true};
}

QString signInButtonTitle(bool signingIn, const QString& provider) {
    if (signingIn)
        return QStringLiteral("Waiting for the browser…");
    return QStringLiteral("Sign in with ") +
           (provider == u"gmail" ? QStringLiteral("Google") : QStringLiteral("Microsoft 365")) +
           QStringLiteral("…");
}

std::optional<QString> googleSignInCaption(const QString& provider, bool googleConfigured) {
    if (provider != u"gmail")
        return std::nullopt;
    if (!googleConfigured)
        return QStringLiteral(
            "Google sign-in is disabled in this build — no Google OAuth client is "
            "configured. Use `zidire auth gmail` from the command line instead.");
    return QStringLiteral("Google's verification review of Moxtrel is still in progress — sign-in "
                          "currently works only for listed test users, and expires after 7 days "
                          "until the review clears.");
}

bool canSendTestEmail(const std::optional<ControlStatus>& status) {
    return status && status->authenticated;
}

bool offersListenPicker(const QList<LocalIPv4Address>& addresses) {
    return addresses.size() >= 2;
}

QList<ListenOption> listenOptions(const QList<LocalIPv4Address>& addresses,
                                  const QString& configuredHost) {
    QList<ListenOption> options{{QStringLiteral("All addresses"), QLatin1String(allAddresses)}};
    bool configuredOffered = configuredHost == QLatin1String(allAddresses);
    for (const LocalIPv4Address& address : addresses) {
        options.append(
            {address.address + QStringLiteral(" (") + address.interface + u')', address.address});
        configuredOffered = configuredOffered || address.address == configuredHost;
    }
    // An address that is no longer on this machine stays selectable, so the picker still shows
    // what is configured.
    if (!configuredOffered)
        options.append({configuredHost, configuredHost});
    return options;
}

QString listenHostOf(const QString& listenerAddress) {
    const qsizetype colon = listenerAddress.lastIndexOf(u':');
    return colon < 0 ? listenerAddress : listenerAddress.left(colon);
}

QString displayedListenerAddress(const QString& listenerAddress,
                                 const std::optional<QString>& primaryAddress) {
    const qsizetype colon = listenerAddress.lastIndexOf(u':');
    if (colon < 0)
        return listenerAddress;
    const QString host = listenerAddress.left(colon);
    if (host != QLatin1String(allAddresses) && host != u"::" && !host.isEmpty())
        return listenerAddress;
    return primaryAddress.value_or(host) + listenerAddress.mid(colon);
}

QList<ListenerRow> listenerRows(const std::optional<ControlStatus>& status,
                                const std::optional<QString>& primaryAddress) {
    QList<ListenerRow> rows;
    if (!status)
        return rows;
    for (const ListenerInfo& listener : status->listeners) {
        ListenerRow row;
        row.title = displayedListenerAddress(listener.address, primaryAddress);
        if (listener.error && !listener.error->isEmpty()) {
            row.listening = false;
            row.value = QStringLiteral("Not listening");
            row.error = *listener.error;
        } else if (listener.tls == u"starttls") {
            row.value = QStringLiteral("STARTTLS");
        } else if (listener.tls == u"implicit") {
            row.value = QStringLiteral("TLS");
        } else {
            row.value = QStringLiteral("No TLS");
        }
        rows.append(row);
    }
    return rows;
}

QString listeningFooter(const QList<LocalIPv4Address>& addresses) {
    QString footer = QStringLiteral("Point each device's SMTP server at this Mac's address and one "
                                    "of these ports. Applies to both Microsoft 365 and Google "
                                    "Workspace.");
    if (offersListenPicker(addresses))
        footer += QStringLiteral(" Changing the address restarts the background service for a "
                                 "few seconds.");
    return footer;
}
