#include "StatusPresentation.h"

#include <QTextBoundaryFinder>

#include <cmath>
#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

StatusPhase statusPhase(ServiceStatus daemon, const std::optional<ControlStatus>& status) {
    switch (daemon) {
    case ServiceStatus::notRegistered:
    case ServiceStatus::notFound:
        return StatusPhase::notInstalled;
    case ServiceStatus::requiresApproval:
        return StatusPhase::awaitingApproval;
    default:
        // Enabled, or a status the platform may add later: the relay itself decides.
        break;
    }
    if (!status)
        return StatusPhase::unreachable;
    switch (relayCondition(*status)) {
    case RelayCondition::senderNotSet:
        return StatusPhase::senderNotSet;
    case RelayCondition::signInNeeded:
        return StatusPhase::signInNeeded;
    case RelayCondition::sendFailed:
        return StatusPhase::sendFailed;
    case RelayCondition::running:
        break;
    }
    return StatusPhase::running;
}

QString queueSuffix(const std::optional<ControlStatus>& status) {
    const qint64 waiting = status ? status->spoolDepth : 0;
    if (waiting < 1)
        return {};
    return QStringLiteral(" %1 waiting.").arg(waiting);
}

QString shortSendError(const std::optional<ControlStatus>& status) {
    if (!status || !status->lastError)
        return {};
    const QString& error = *status->lastError;
    constexpr int limit = 60;
    // Cut between grapheme clusters, so a flag or an accented letter is never split.
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, error);
    int count = 0;
    while (clusters.toNextBoundary() != -1) {
        if (++count == limit) {
            const qsizetype cut = clusters.position();
            if (cut == error.size())
                return error;
            return error.left(cut) + QStringLiteral("…");
        }
    }
    return error;
}

HeroCardContent heroCardContent(StatusPhase phase, const std::optional<ControlStatus>& status,
                                bool hasConnectivityError) {
    switch (phase) {
    case StatusPhase::notInstalled:
        return {"power", Tint::secondary, "Service not installed",
                "Install the helper to start relaying scans."};
    case StatusPhase::awaitingApproval:
        return {"hourglass", Tint::accent, "Waiting for approval",
                "Allow Moxtrel in System Settings › Login Items."};
    case StatusPhase::unreachable:
        return {"bolt.slash", Tint::secondary, "Relay not reachable",
                hasConnectivityError ? "The background service isn't answering."
                                     : "The background service isn't running yet."};
    case StatusPhase::senderNotSet:
        return {"gearshape", Tint::accent, "Set up your sender",
                "Choose a provider and sign in (⌘,)."};
    case StatusPhase::signInNeeded:
        return {"exclamationmark.triangle", Tint::accent, "Sign-in needed",
                "Reconnect to resume sending." + queueSuffix(status)};
    case StatusPhase::sendFailed:
        return {"exclamationmark.triangle", Tint::red, "Last send failed",
                shortSendError(status) + queueSuffix(status)};
    case StatusPhase::running:
        return {"checkmark.circle", Tint::green, "Relay is running",
                status ? status->fromAddress : QString()};
    }
    return {};
}

SecondSection secondSection(StatusPhase phase, bool hasStatus) {
    if (hasStatus)
        return SecondSection::details;
    if (phase == StatusPhase::notInstalled || phase == StatusPhase::unreachable)
        return SecondSection::unreachableNote;
    return SecondSection::none;
}

namespace {

DetailRow queueRow(const ControlStatus& status) {
    return {"Queued messages",
            DetailRow::Value::count,
            QString::number(status.spoolDepth),
            status.spoolDepth >= 1,
            {}};
}

} // namespace

QList<DetailRow> detailRows(StatusPhase phase, const ControlStatus& status) {
    using Value = DetailRow::Value;
    switch (phase) {
    case StatusPhase::sendFailed: {
        QList<DetailRow> rows{{"Signed in", Value::text, "Yes", false, {}}, queueRow(status)};
        if (status.lastErrorAgeSeconds)
            rows.append({"Last error", Value::text, relativeTimeAgo(*status.lastErrorAgeSeconds),
                         false, status.lastError.value_or(QString())});
        return rows;
    }
    case StatusPhase::signInNeeded:
        return {{"Background service", Value::greenDot, "Running", false, {}},
                {"Signed in", Value::redDot, "No", false, {}},
                queueRow(status)};
    default:
        return {{"Provider", Value::text, providerDisplayName(status.provider), false, {}},
                {"Signed in", Value::text, status.authenticated ? "Yes" : "No", false, {}},
                queueRow(status),
                {"zidire version", Value::text, status.version, false, {}}};
    }
}

QString relativeTimeAgo(double seconds) {
    struct Unit {
        double seconds;
        URelativeDateTimeUnit unit;
    };
    static constexpr Unit units[] = {
        {365 * 86400.0, UDAT_REL_UNIT_YEAR}, {30 * 86400.0, UDAT_REL_UNIT_MONTH},
        {7 * 86400.0, UDAT_REL_UNIT_WEEK},   {86400.0, UDAT_REL_UNIT_DAY},
        {3600.0, UDAT_REL_UNIT_HOUR},        {60.0, UDAT_REL_UNIT_MINUTE},
    };
    const double age = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    Unit chosen{1.0, UDAT_REL_UNIT_SECOND};
    for (const Unit& unit : units) {
        if (age >= unit.seconds) {
            chosen = unit;
            break;
        }
    }
    const double count = std::floor(age / chosen.seconds);

    UErrorCode error = U_ZERO_ERROR;
    icu::RelativeDateTimeFormatter formatter(icu::Locale::getDefault(), nullptr, UDAT_STYLE_NARROW,
                                             UDISPCTX_CAPITALIZATION_NONE, error);
    icu::UnicodeString text;
    // A negative offset is a moment in the past; numeric, so a day reads "1 day ago", not
    // "yesterday".
    formatter.formatNumeric(-count, chosen.unit, text, error);
    if (U_FAILURE(error))
        return {};
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

QList<ActionButton> actionButtons(StatusPhase phase, ServiceStatus daemon, bool signingIn) {
    using A = StatusAction;
    switch (phase) {
    case StatusPhase::notInstalled:
        return {{A::install, "Install", true, true}};
    case StatusPhase::awaitingApproval:
        return {{A::openSystemSettings, "Open System Settings", true, true}};
    case StatusPhase::unreachable:
        return {{A::uninstall, "Uninstall", false, true},
                {A::install, "Install", true, daemon != ServiceStatus::enabled}};
    case StatusPhase::senderNotSet:
        return {{A::openSettings, "Open Settings…", true, true}};
    case StatusPhase::signInNeeded:
        return {{A::reconnect, "Reconnect", true, !signingIn}};
    case StatusPhase::sendFailed:
        return {{A::retryNow, "Retry now", true, true}};
    case StatusPhase::running:
        return {{A::sendTestEmail, "Send test email…", true, true}};
    }
    return {};
}

QString reconnectProvider(const std::optional<ControlStatus>& status) {
    if (status && !status->provider.isEmpty())
        return status->provider;
    return QString::fromLatin1(ProviderKey::m365);
}

QStringList statusMenuLines(ServiceStatus daemon, const std::optional<ControlStatus>& status) {
    QString service;
    switch (daemon) {
    case ServiceStatus::notRegistered:
    case ServiceStatus::notFound:
        service = "Not installed";
        break;
    case ServiceStatus::enabled:
        service = "Running";
        break;
    case ServiceStatus::requiresApproval:
        service = "Needs approval in System Settings";
        break;
    default:
        service = "Unknown";
    }
    QStringList lines{"Background service: " + service};
    if (status)
        lines << "Sending as " + status->fromAddress
              << "Queued: " + QString::number(status->spoolDepth);
    else
        lines << "Relay not reachable";
    return lines;
}
