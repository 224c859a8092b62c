#include "StatusReport.h"

#include "ControlCodec.h"
#include "RelayCondition.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace zidire {

namespace {

// The status window's titles.
QString situation(const ControlStatus& status) {
    switch (relayCondition(status)) {
    case RelayCondition::senderNotSet:
        return QStringLiteral("Set up your sender");
    case RelayCondition::signInNeeded:
        return QStringLiteral("Sign-in needed");
    case RelayCondition::sendFailed:
        return QStringLiteral("Last send failed");
    case RelayCondition::running:
        break;
    }
    return QStringLiteral("Relay is running");
}

QString account(const ControlStatus& status) {
    if (status.provider.isEmpty())
        return QStringLiteral("none chosen");
    const QString provider = providerDisplayName(status.provider);
    if (!status.authenticated)
        return provider + QStringLiteral(", not signed in");
    if (status.signedInEmail)
        return provider + QStringLiteral(", signed in as ") + *status.signedInEmail;
    return provider + QStringLiteral(", signed in");
}

QString orNotSet(const QString& value) {
    return value.isEmpty() ? QStringLiteral("not set") : value;
}

QString listeners(const ControlStatus& status) {
    QStringList listeners;
    for (const ListenerInfo& listener : status.listeners) {
        listeners.append(QStringLiteral("%1 (%2)").arg(listener.address, listener.tls) +
                         (listener.error ? QStringLiteral(": ") + *listener.error : QString()));
    }
    return listeners.isEmpty() ? QStringLiteral("none") : listeners.join(QStringLiteral(", "));
}

} // namespace

QString statusReport(const ControlStatus& status) {
    const QString lastError =
        status.lastError
            ? QStringLiteral("%1 (%2 s ago)")
                  .arg(*status.lastError,
                       QString::number(qRound64(status.lastErrorAgeSeconds.value_or(0))))
            : QStringLiteral("none");
    const std::pair<const char*, QString> lines[] = {
        {"Account", account(status)},
        {"Sender", orNotSet(status.fromAddress)},
        {"Device login", orNotSet(status.deviceUsername)},
        {"Listening", listeners(status)},
        {"Queued", QStringLiteral("%1 messages").arg(status.spoolDepth)},
        {"Last error", lastError},
        {"Version", QStringLiteral("zidire %1, up %2 s")
                        .arg(status.version, QString::number(qRound64(status.uptimeSeconds)))},
    };
    QString report = situation(status) + u'\n';
    for (const auto& [label, value] : lines)
        report +=
            QStringLiteral("  ") + (QLatin1String(label) + u':').leftJustified(14) + value + u'\n';
    return report;
}

QString statusJson(const ControlStatus& status) {
    const QJsonObject response =
        QJsonDocument::fromJson(encodeControlResponse({.ok = true, .status = status})).object();
    return QString::fromUtf8(
        QJsonDocument(response.value(QStringLiteral("status")).toObject()).toJson());
}

} // namespace zidire
