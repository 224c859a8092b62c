#include "StatusPresentation.h"

#include <QTest>

#include <tuple>

// Each table lists its cases once; where a failure would not show the values, the case is named.

namespace {

using S = ServiceStatus;
using P = StatusPhase;
using A = StatusAction;
using V = DetailRow::Value;
using Status = std::optional<ControlStatus>;
const auto unknownStatus = ServiceStatus(7);
const Status none;

Status relay(QString provider = "m365", bool authenticated = true, qint64 queued = 0,
             std::optional<QString> lastError = {}) {
    return ControlStatus{.version = "1.4.2",
                         .provider = provider,
                         .fromAddress = "scans@example.com",
                         .authenticated = authenticated,
                         .spoolDepth = queued,
                         .lastError = lastError};
}

} // namespace

class StatusPresentationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void phase() {
        const QList<std::tuple<S, Status, P>> cases{
            {S::notRegistered, none, P::notInstalled},
            {S::notFound, relay(), P::notInstalled}, // an old relay still answering
            {S::requiresApproval, relay(), P::awaitingApproval},
            {S::enabled, none, P::unreachable},
            {unknownStatus, none, P::unreachable},
            {S::enabled, relay("", false, 0, "x"), P::senderNotSet},
            {S::enabled, relay("m365", false, 0, "x"), P::signInNeeded},
            {S::enabled, relay("gmail", true, 0, ""), P::sendFailed}, // an empty error counts
            {unknownStatus, relay(), P::running},
        };
        for (const auto& [daemon, status, phase] : cases)
            QCOMPARE(int(statusPhase(daemon, status)), int(phase));
    }

    void queueSuffixAndShortError() {
        const QString a59(59, 'a'), flag = "🇩🇪", accented = "e\u0301";
        auto failing = [](QString error, qint64 queued = 0) {
            return relay("m365", true, queued, error);
        };
        const QList<std::tuple<Status, QString, QString>> cases{
            {none, "", ""},
            {relay(), "", ""},
            {failing("", -2), "", ""},
            {failing("boom", 1), " 1 waiting.", "boom"},
            {failing(a59 + "b"), "", a59 + "b"}, // 60 characters stay whole
            {failing(a59 + "bc"), "", a59 + "b…"},
            {failing(a59 + flag), "", a59 + flag}, // two code points, one character
            {failing(a59 + flag + "c"), "", a59 + flag + "…"},
            {failing(a59 + accented + "c"), "", a59 + accented + "…"},
        };
        for (const auto& [status, suffix, shortError] : cases)
            QCOMPARE(queueSuffix(status) + " / " + shortSendError(status),
                     suffix + " / " + shortError);
    }

    void card() {
        const QList<std::tuple<P, Status, bool, QString>> cases{
            {P::notInstalled, none, false,
             "power | 1 | Service not installed | Install the helper to start relaying scans."},
            {P::awaitingApproval, none, false,
             "hourglass | 2 | Waiting for approval | Allow Moxtrel in System Settings › Login "
             "Items."},
            {P::unreachable, none, false,
             "bolt.slash | 1 | Relay not reachable | The background service isn't running yet."},
            {P::unreachable, none, true,
             "bolt.slash | 1 | Relay not reachable | The background service isn't answering."},
            {P::senderNotSet, relay(""), false,
             "gearshape | 2 | Set up your sender | Choose a provider and sign in (⌘,)."},
            {P::signInNeeded, relay("m365", false, 2), false,
             "exclamationmark.triangle | 2 | Sign-in needed | Reconnect to resume sending. 2 "
             "waiting."},
            {P::sendFailed, relay("m365", true, 3, "quota exceeded"), false,
             "exclamationmark.triangle | 4 | Last send failed | quota exceeded 3 waiting."},
            {P::running, relay(), false,
             "checkmark.circle | 3 | Relay is running | scans@example.com"},
        };
        for (const auto& [phase, status, connectivityError, card] : cases) {
            const HeroCardContent c = heroCardContent(phase, status, connectivityError);
            QCOMPARE(QStringList({c.icon, QString::number(int(c.tint)), c.title, c.subtitle})
                         .join(" | "),
                     card);
        }

        QCOMPARE(secondSection(P::awaitingApproval, true), SecondSection::details);
        QCOMPARE(secondSection(P::notInstalled, false), SecondSection::unreachableNote);
        QCOMPARE(secondSection(P::unreachable, false), SecondSection::unreachableNote);
        QCOMPARE(secondSection(P::awaitingApproval, false), SecondSection::none);
    }

    void detailRowsOfEachPhase() {
        Status aged = relay("m365", true, 0, "token revoked");
        aged->lastErrorAgeSeconds = 330;
        auto common = [](QString provider, QString signedIn) {
            return QList<DetailRow>{{"Provider", V::text, provider},
                                    {"Signed in", V::text, signedIn},
                                    {"Queued messages", V::count, "0"},
                                    {"zidire version", V::text, "1.4.2"}};
        };
        const QList<std::tuple<const char*, P, Status, QList<DetailRow>>> cases{
            {"failed, aged",
             P::sendFailed,
             aged,
             {{"Signed in", V::text, "Yes"},
              {"Queued messages", V::count, "0"},
              {"Last error", V::text, "5m ago", false, "token revoked"}}},
            {"sign-in",
             P::signInNeeded,
             relay("m365", false, 1),
             {{"Background service", V::greenDot, "Running"},
              {"Signed in", V::redDot, "No"},
              {"Queued messages", V::count, "1", true}}},
            {"m365", P::running, relay("m365"), common("Microsoft 365", "Yes")},
            {"gmail", P::notInstalled, relay("gmail", false), common("Google Workspace", "No")},
            {"other", P::running, relay("smtp"), common("smtp", "Yes")},
        };
        for (const auto& [name, phase, status, rows] : cases)
            QVERIFY2(detailRows(phase, *status) == rows, name);
    }

    void relativeTimeTakesTheLargestWholeUnit() {
        const QList<std::pair<double, QString>> cases{
            {0, "0s ago"},
            {59.9, "59s ago"},
            {60, "1m ago"},
            {7300, "2h ago"},
            {6 * 86400.0 + 5, "6d ago"},
            {21 * 86400.0, "3w ago"},
            {61 * 86400.0, "2mo ago"},
            {400 * 86400.0, "1y ago"},
        };
        for (const auto& [seconds, text] : cases)
            QCOMPARE(relativeTimeAgo(seconds), text);
    }

    void buttons() {
        const QList<std::tuple<const char*, P, S, bool, QList<ActionButton>>> cases{
            {"install", P::notInstalled, S::notFound, false, {{A::install, "Install"}}},
            {"approve",
             P::awaitingApproval,
             S::requiresApproval,
             false,
             {{A::openSystemSettings, "Open System Settings"}}},
            {"enabled",
             P::unreachable,
             S::enabled,
             false,
             {{A::uninstall, "Uninstall", false}, {A::install, "Install", true, false}}},
            {"unknown",
             P::unreachable,
             unknownStatus,
             false,
             {{A::uninstall, "Uninstall", false}, {A::install, "Install"}}},
            {"settings", P::senderNotSet, S::enabled, false, {{A::openSettings, "Open Settings…"}}},
            {"reconnect", P::signInNeeded, S::enabled, false, {{A::reconnect, "Reconnect"}}},
            {"signing in",
             P::signInNeeded,
             S::enabled,
             true,
             {{A::reconnect, "Reconnect", true, false}}},
            {"retry", P::sendFailed, S::enabled, true, {{A::retryNow, "Retry now"}}},
            {"test", P::running, S::enabled, false, {{A::sendTestEmail, "Send test email…"}}},
        };
        for (const auto& [name, phase, daemon, signingIn, buttons] : cases)
            QVERIFY2(actionButtons(phase, daemon, signingIn) == buttons, name);

        QCOMPARE(reconnectProvider(relay("gmail")), "gmail");
        QCOMPARE(reconnectProvider(relay("")), "m365");
        QCOMPARE(reconnectProvider(std::nullopt), "m365");
    }

    void menuLines() {
        const QList<std::tuple<S, Status, QStringList>> cases{
            {S::notRegistered,
             relay(),
             {"Background service: Not installed", "Sending as scans@example.com", "Queued: 0"}},
            {S::notFound, none, {"Background service: Not installed", "Relay not reachable"}},
            {unknownStatus, none, {"Background service: Unknown", "Relay not reachable"}},
        };
        for (const auto& [daemon, status, lines] : cases)
            QCOMPARE(statusMenuLines(daemon, status), lines);
    }
};

QTEST_GUILESS_MAIN(StatusPresentationTest)
#include "tst_StatusPresentation.moc"
