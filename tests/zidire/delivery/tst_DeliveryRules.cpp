#include "delivery/HttpExchange.h"
#include "delivery/ProviderReplies.h"
#include "delivery/RetrySchedule.h"
#include "store/ProviderEndpoints.h"
#include "store/Settings.h"

#include <QTest>

using namespace zidire;
using namespace std::chrono_literals;
using Kind = SendFailure::Kind;

Q_DECLARE_METATYPE(Kind)

namespace {

HttpResponse answer(int status, const QByteArray& body = {},
                    std::optional<std::chrono::seconds> retryAfter = std::nullopt) {
    return {.status = status, .body = body, .transportError = {}, .retryAfter = retryAfter};
}

} // namespace

// The token endpoint's answers, the back-off and Retry-After: the decisions that keep mail from
// being dropped or retried forever. (Send answers are exercised against the fake provider.)
class DeliveryRulesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenAnswers_data() {
        QTest::addColumn<HttpResponse>("response");
        QTest::addColumn<std::optional<Kind>>("failure");
        QTest::addColumn<QString>("reason"); // empty: not checked
        const auto row = [](const char* name, int status, const QByteArray& body,
                            std::optional<Kind> failure, const QString& reason = {}) {
            QTest::newRow(name) << answer(status, body) << failure << reason;
        };
        const QString expired = QString::fromUtf8(signInExpired);
        row("token", 200, R"({"access_token":"at","expires_in":60})", std::nullopt);
        row("invalid_grant", 400, R"({"error":"invalid_grant","error_description":"AADSTS700082"})",
            Kind::authorization, expired);
        row("interaction_required", 400, R"({"error":"interaction_required"})", Kind::authorization,
            expired);
        row("invalid_client", 401, R"({"error":"invalid_client","error_description":"bad secret"})",
            Kind::authorization,
            "Google Workspace's sign-in service refused the sign-in: bad secret (HTTP 401) — "
            "sign in again");
        row("temporarily_unavailable", 400, R"({"error":"temporarily_unavailable"})",
            Kind::transient);
        row("500", 500, {}, Kind::transient);
        row("200 without a token", 200, "{}", Kind::transient);
    }

    void tokenAnswers() {
        QFETCH(HttpResponse, response);
        QFETCH(std::optional<Kind>, failure);
        QFETCH(QString, reason);

        const auto result = readTokenResponse(response, QStringLiteral("Google Workspace"));
        if (!failure) {
            QCOMPARE(std::get<AccessToken>(result).value, QStringLiteral("at"));
            QCOMPARE(std::get<AccessToken>(result).lifetime, 60s);
            return;
        }
        QCOMPARE(std::get<SendFailure>(result).kind, *failure);
        if (!reason.isEmpty())
            QCOMPARE(std::get<SendFailure>(result).reason, reason);
    }

    void backOff_data() {
        QTest::addColumn<int>("failures");
        QTest::addColumn<std::optional<std::chrono::seconds>>("retryAfter");
        QTest::addColumn<std::chrono::milliseconds>("delay");
        using Seconds = std::optional<std::chrono::seconds>;
        using Ms = std::chrono::milliseconds;
        QTest::newRow("sixth") << 6 << Seconds() << Ms(32min);
        QTest::newRow("seventh is capped") << 7 << Seconds() << Ms(1h);
        QTest::newRow("hundredth") << 100 << Seconds() << Ms(1h);
        QTest::newRow("Retry-After") << 5 << Seconds(120s) << Ms(2min);
        QTest::newRow("Retry-After 0 still waits") << 1 << Seconds(0s) << Ms(1min);
        QTest::newRow("Retry-After beyond a day") << 1 << Seconds(100h) << Ms(24h);
    }

    void backOff() {
        QFETCH(int, failures);
        QFETCH(std::optional<std::chrono::seconds>, retryAfter);
        QFETCH(std::chrono::milliseconds, delay);
        QCOMPARE(retryDelay(failures, retryAfter, DeliveryTiming{}).count(), delay.count());
    }

    void retryAfterValues_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<std::optional<std::chrono::seconds>>("seconds");
        using Seconds = std::optional<std::chrono::seconds>;
        QTest::newRow("seconds") << QByteArray("120") << Seconds(120s);
        QTest::newRow("HTTP date") << QByteArray("Fri, 06 Dec 2024 08:31:00 GMT") << Seconds(60s);
        QTest::newRow("date in the past")
            << QByteArray("Fri, 06 Dec 2024 08:00:00 GMT") << Seconds(0s);
        QTest::newRow("negative") << QByteArray("-5") << Seconds();
        QTest::newRow("garbage") << QByteArray("soon") << Seconds();
    }

    void retryAfterValues() {
        QFETCH(QByteArray, value);
        QFETCH(std::optional<std::chrono::seconds>, seconds);
        const QDateTime now(QDate(2024, 12, 6), QTime(8, 30), Qt::UTC);
        QCOMPARE(parseRetryAfter(value, now), seconds);
    }

    // The environment wins over settings.json; an empty variable counts as none.
    void providerEndpointsFromEnvironmentOrSettings() {
        Settings settings;
        settings.graphBase = QStringLiteral("http://graph.settings.test");
        settings.gmailBase = QStringLiteral("http://gmail.settings.test");
        qunsetenv("ZIDIRE_MICROSOFT_LOGIN_BASE");
        qunsetenv("ZIDIRE_GOOGLE_TOKEN_URL");
        qputenv("ZIDIRE_GRAPH_BASE", "http://graph.environment.test");
        qputenv("ZIDIRE_GMAIL_BASE", "");
        const ProviderEndpoints endpoints = providerEndpoints(settings);
        qunsetenv("ZIDIRE_GRAPH_BASE");
        qunsetenv("ZIDIRE_GMAIL_BASE");
        QCOMPARE(endpoints, (ProviderEndpoints{"https://login.microsoftonline.com",
                                               "http://graph.environment.test",
                                               "https://oauth2.googleapis.com/token",
                                               "http://gmail.settings.test"}));
    }
};

QTEST_GUILESS_MAIN(DeliveryRulesTest)
#include "tst_DeliveryRules.moc"
