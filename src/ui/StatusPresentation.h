#pragma once

// What the menu-bar item and the status window show, as pure functions of the model's values.
// The widgets only lay these out; nothing here touches a widget or the model.

#include "Appearance.h"
#include "ControlMessages.h"
#include "RelayCondition.h"
#include "ServiceManager.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// The relay's situation, in the order its conditions are tested.
enum class StatusPhase {
    notInstalled,
    awaitingApproval,
    unreachable,
    senderNotSet,
    signInNeeded,
    sendFailed,
    running
};

StatusPhase statusPhase(ServiceStatus daemon, const std::optional<ControlStatus>& status);

// " 3 waiting." while messages wait in the queue, else empty.
QString queueSuffix(const std::optional<ControlStatus>& status);
// The relay's last send error, cut to 60 user-perceived characters and "…".
QString shortSendError(const std::optional<ControlStatus>& status);

struct HeroCardContent {
    QString icon;
    Tint tint = Tint::secondary;
    QString title;
    QString subtitle;

    bool operator==(const HeroCardContent&) const = default;
};

HeroCardContent heroCardContent(StatusPhase phase, const std::optional<ControlStatus>& status,
                                bool hasConnectivityError);

// What follows the card.
enum class SecondSection { details, unreachableNote, none };
SecondSection secondSection(StatusPhase phase, bool hasStatus);
inline constexpr char unreachableNoteText[] =
    "Relay not reachable — the background service isn't running yet.";

struct DetailRow {
    enum class Value { text, greenDot, redDot, count };

    DetailRow() = default;
    DetailRow(QString label, Value kind, QString value, bool emphasized = false,
              QString tooltip = {})
        : label(std::move(label))
        , kind(kind)
        , value(std::move(value))
        , emphasized(emphasized)
        , tooltip(std::move(tooltip)) {}

    QString label;
    Value kind = Value::text;
    QString value;
    // A count of at least 1: drawn in the accent colour, semibold; else secondary, regular.
    bool emphasized = false;
    QString tooltip;

    bool operator==(const DetailRow&) const = default;
};

// The rows of the details section; only shown while there is a status.
QList<DetailRow> detailRows(StatusPhase phase, const ControlStatus& status);

// "5 min. ago" in the platform's abbreviated style and the user's language: the largest whole
// unit that fits into `seconds`.
QString relativeTimeAgo(double seconds);

enum class StatusAction {
    install,
    openSystemSettings,
    uninstall,
    openSettings,
    reconnect,
    retryNow,
    sendTestEmail
};

struct ActionButton {
    ActionButton(StatusAction action, QString title, bool prominent = true, bool enabled = true)
        : action(action)
        , title(std::move(title))
        , prominent(prominent)
        , enabled(enabled) {}

    StatusAction action;
    QString title;
    bool prominent = true;
    bool enabled = true;

    bool operator==(const ActionButton&) const = default;
};

// The phase's buttons, left to right, after "View log" (which is always there).
QList<ActionButton> actionButtons(StatusPhase phase, ServiceStatus daemon, bool signingIn);
// The provider "Reconnect" signs in to.
QString reconnectProvider(const std::optional<ControlStatus>& status);

// The menu's information lines: the service line, then the sender and the queue, or
// "Relay not reachable".
QStringList statusMenuLines(ServiceStatus daemon, const std::optional<ControlStatus>& status);
