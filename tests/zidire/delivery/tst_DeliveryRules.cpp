#include "delivery/HttpExchange.h"
#include "delivery/ProviderReplies.h"
#include "delivery/RetrySchedule.h"

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
        QTest::addColumn<QString>("reason");

        QTest::newRow("token") << answer(200, R"({"access_token":"at","expires_in":60})")
                               << std::optional<Kind>() << "";
        QTest::newRow("invalid_grant")
            << answer(400, R"({"error":"invalid_grant","error_description":"AADSTS700082"})")
            << std::optional(Kind::authorization) << QString::fromUtf8(signInExpired);
        QTest::newRow("interaction_required")
            << answer(400, R"({"error":"interaction_required"})")
            << std::optional(Kind::authorization) << QString::fromUtf8(signInExpired);
        QTest::newRow("invalid_client")
            << answer(401, R"({"error":"invalid_client","error_description":"bad secret"})")
            << std::optional(Kind::authorization)
            << "Google Workspace's sign-in service refused the sign-in: bad secret (HTTP 401) — "
               "sign in again";
        QTest::newRow("temporarily_unavailable")
            << answer(400, R"({"error":"temporarily_unavailable"})")
            << std::optional(Kind::transient) << "";
        QTest::newRow("500") << answer(500) << std::optional(Kind::transient) << "";
        QTest::newRow("200 without a token")
            << answer(200, "{}") << std::optional(Kind::transient) << "";
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

    void rotatedRefreshTokenIsRead() {
        const auto result = readTokenResponse(
            answer(200, R"({"access_token":"at","expires_in":3600,"refresh_token":"rt2"})"),
            QStringLiteral("Microsoft 365"));
        QCOMPARE(std::get<AccessToken>(result).rotatedRefreshToken, QStringLiteral("rt2"));
    }

    void backOff_data() {
        QTest::addColumn<int>("failures");
        QTest::addColumn<std::optional<std::chrono::seconds>>("retryAfter");
        QTest::addColumn<std::chrono::milliseconds>("delay");
        using Seconds = std::optional<std::chrono::seconds>;
        QTest::newRow("first") << 1 << Seconds() << std::chrono::milliseconds(1min);
        QTest::newRow("second") << 2 << Seconds() << std::chrono::milliseconds(2min);
        QTest::newRow("sixth") << 6 << Seconds() << std::chrono::milliseconds(32min);
        QTest::newRow("seventh is capped") << 7 << Seconds() << std::chrono::milliseconds(1h);
        QTest::newRow("hundredth") << 100 << Seconds() << std::chrono::milliseconds(1h);
        QTest::newRow("Retry-After") << 5 << Seconds(120s) << std::chrono::milliseconds(2min);
        QTest::newRow("Retry-After 0 still waits")
            << 1 << Seconds(0s) << std::chrono::milliseconds(1min);
        QTest::newRow("Retry-After beyond a day")
            << 1 << Seconds(std::chrono::hours(100)) << std::chrono::milliseconds(24h);
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
        QTest::newRow("absent") << QByteArray() << Seconds();
        QTest::newRow("negative") << QByteArray("-5") << Seconds();
        QTest::newRow("garbage") << QByteArray("soon") << Seconds();
    }

    void retryAfterValues() {
        QFETCH(QByteArray, value);
        QFETCH(std::optional<std::chrono::seconds>, seconds);
        const QDateTime now(QDate(2024, 12, 6), QTime(8, 30), Qt::UTC);
        QCOMPARE(parseRetryAfter(value, now), seconds);
    }
};

QTEST_GUILESS_MAIN(DeliveryRulesTest)
#include "tst_DeliveryRules.moc"
