#include "FakeProvider.h"
#include "delivery/DeliveryEngine.h"
#include "delivery/ProviderReplies.h"
#include "log/Log.h"
#include "spool/Spool.h"
#include "store/SettingsStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace zidire;
using namespace std::chrono_literals;
using Endpoint = FakeProvider::Endpoint;
using Reply = FakeProvider::Reply;

Q_DECLARE_METATYPE(Reply)

namespace {

const QByteArray scan = "From: Copier <scan@printer.example.org>\r\nTo: a@x.test\r\n"
                        "Subject: Scan\r\n\r\nscanned page\r\n";

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The message as the provider got it.
QByteArray sentMessage(const FakeProvider::Request& request) {
    return request.path().endsWith("/sendMail") ? QByteArray::fromBase64(request.body)
                                                : request.body;
}

} // namespace

// The engine in-process, over a real spool and settings store, against a fake provider on
// loopback: every way a provider can answer, and what becomes of the message.
class DeliveryEngineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // The settings name the fake; an endpoint in the environment would win over them.
        for (const char* name : {"ZIDIRE_MICROSOFT_LOGIN_BASE", "ZIDIRE_GRAPH_BASE",
                                 "ZIDIRE_GOOGLE_TOKEN_URL", "ZIDIRE_GMAIL_BASE"})
            qunsetenv(name);
    }

    void init() {
        m_dir.emplace();
        m_log.emplace(m_dir->filePath(QStringLiteral("zidire.log")), false);
        m_store.emplace(m_dir->path(), *m_log);
        m_spool.emplace(m_dir->filePath(QStringLiteral("spool")), *m_log);
        m_provider = std::make_unique<FakeProvider>();
        m_timing = DeliveryTiming{
            .firstRetry = 20ms, .longestRetry = 200ms, .transferTimeout = 5s, .testSendLimit = 2s};
        signIn(QStringLiteral("m365"), QStringLiteral("refresh-1"));
    }

    void cleanup() {
        m_engine.reset();
        m_provider.reset();
        m_spool.reset();
        m_store.reset();
        m_log.reset();
        m_dir.reset();
    }

    void sendsThroughEachProvider_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QByteArray>("sendTarget");
        const auto row = [](const char* name, const char* provider, const char* sender,
                            const QByteArray& target) {
            QTest::newRow(name) << QString(provider) << QString(sender) << target;
        };
        row("Microsoft 365, own mailbox", "m365", "me@example.com", "/v1.0/me/sendMail");
        row("Microsoft 365, shared mailbox", "m365", "scans@example.com",
            "/v1.0/users/scans%40example.com/sendMail");
        row("Google Workspace", "gmail", "scans@example.com",
            "/upload/gmail/v1/users/me/messages/send?uploadType=media");
    }

    void sendsThroughEachProvider() {
        QFETCH(QString, provider);
        QFETCH(QString, sender);
        QFETCH(QByteArray, sendTarget);
        const bool m365 = provider == u"m365";
        // name=value, in any order
        QStringList tokenFields{"grant_type=refresh_token", "refresh_token=refresh-1"};
        tokenFields << (m365 ? QStringList{"client_id=m365-client",
                                           "scope=https://graph.microsoft.com/Mail.Send.Shared "
                                           "offline_access openid profile email"}
                             : QStringList{"client_id=gmail-client", "client_secret=gmail-secret"});

        signIn(provider, QStringLiteral("refresh-1"), sender);
        spoolMessage();
        startEngine();
        QTRY_COMPARE(m_spool->depth(), 0);

        QCOMPARE(m_provider->requestCount(Endpoint::token), 1);
        const FakeProvider::Request& token = m_provider->requests(Endpoint::token).first();
        QCOMPARE(token.path(), m365 ? "/common/oauth2/v2.0/token" : "/google/token");
        QStringList fields = token.form().toString(QUrl::FullyDecoded).split(u'&');
        fields.sort();
        tokenFields.sort();
        QCOMPARE(fields, tokenFields);

        const Endpoint api = m365 ? Endpoint::graph : Endpoint::gmail;
        QCOMPARE(m_provider->requestCount(api), 1);
        const FakeProvider::Request& send = m_provider->requests(api).first();
        QCOMPARE(send.method, QByteArray("POST"));
        QCOMPARE(send.target, sendTarget);
        QCOMPARE(send.headers.value("authorization"), QByteArray("Bearer access-1"));
        QCOMPARE(send.headers.value("content-type"), m365 ? "text/plain" : "message/rfc822");
        const QByteArray message = sentMessage(send);
        QVERIFY2(message.startsWith("From: " + sender.toUtf8() + "\r\n"), message.constData());
        QVERIFY(message.endsWith("\r\n\r\nscanned page\r\n"));
        // Nothing of it stays on disk.
        QTRY_VERIFY(QDir(m_spool->directory() + QStringLiteral("/delivered")).isEmpty());
    }

    // Refused by the API, an access token is renewed once and the message sent with the new one.
    void refusedAccessTokenRenewedOnce() {
        m_provider->queueReply(Endpoint::graph,
                               FakeProvider::apiError(401, "InvalidAuthenticationToken"));
        spoolMessage();
        startEngine();
        QTRY_COMPARE(m_spool->depth(), 0);
        QCOMPARE(m_provider->requestCount(Endpoint::token), 2);
        QCOMPARE(m_provider->requests(Endpoint::graph)[1].headers.value("authorization"),
                 QByteArray("Bearer access-2"));
        QVERIFY(m_engine->authenticated());
    }

    void nothingSentUntilSignedIn_data() {
        QTest::addColumn<int>("refusals"); // -1: never signed in, 0: the sign-in, n: access tokens
        QTest::addColumn<QString>("reason");
        QTest::newRow("never signed in") << -1 << "not signed in to Microsoft 365 — sign in first";
        QTest::newRow("sign-in expired") << 0 << QString::fromUtf8(signInExpired);
        QTest::newRow("new access token refused as well")
            << 2
            << "Microsoft 365 refused the access token: InvalidAuthenticationToken (HTTP 401) — "
               "sign in again";
    }

    // Nothing is attempted while there is no usable sign-in, and the user is told why; a new
    // sign-in sends what waited.
    void nothingSentUntilSignedIn() {
        QFETCH(int, refusals);
        QFETCH(QString, reason);
        if (refusals < 0)
            signIn(QStringLiteral("m365"), QString());
        else if (refusals == 0)
            m_provider->queueReply(Endpoint::token, FakeProvider::oauthError(400, "invalid_grant"));
        for (int i = 0; i < refusals; ++i)
            m_provider->queueReply(Endpoint::graph,
                                   FakeProvider::apiError(401, "InvalidAuthenticationToken"));
        spoolMessage();
        spoolMessage();
        startEngine();
        if (refusals >= 0)
            QTRY_VERIFY(m_engine->lastFailure() && m_engine->lastFailure()->text == reason);
        QVERIFY(!m_engine->authenticated());

        std::optional<QString> retryAnswer;
        m_engine->retryNow([&](const std::optional<QString>& failure) { retryAnswer = failure; });
        QCOMPARE(retryAnswer, reason);
        std::optional<QString> testAnswer;
        m_engine->testSend(QStringLiteral("me@x.test"),
                           [&](const std::optional<QString>& failure) { testAnswer = failure; });
        QCOMPARE(testAnswer, reason);
        QCoreApplication::processEvents();
        // The refused sign-in, or the token the API refused and the one renewed after it.
        QCOMPARE(m_provider->requestCount(Endpoint::token),
                 refusals < 0 ? 0 : std::max(refusals, 1));
        QCOMPARE(m_provider->requestCount(Endpoint::graph), std::max(refusals, 0));
        QCOMPARE(m_spool->depth(), 2);

        signIn(QStringLiteral("m365"), QStringLiteral("refresh-2"));
        m_engine->settingsChanged();
        QVERIFY(m_engine->authenticated());
        QVERIFY(!m_engine->lastFailure());
        QTRY_COMPARE(m_spool->depth(), 0);
        const QUrlQuery renewal = m_provider->requests(Endpoint::token).last().form();
        QCOMPARE(renewal.queryItemValue(QStringLiteral("refresh_token")), "refresh-2");
    }

    void passingFailuresRetried_data() {
        QTest::addColumn<Reply>("failure");
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("pauseMs"); // before the next request, whichever message it is for
        QTest::newRow("503") << FakeProvider::apiError(503, "ServiceUnavailable") << 1
                             << "Microsoft 365 failed: ServiceUnavailable (HTTP 503)" << 0;
        QTest::newRow("408") << Reply{.status = 408} << 1 << "Microsoft 365 failed (HTTP 408)" << 0;
        // Qt itself sends a request again, up to twice, when the connection closes before any
        // answer; the third drop reaches delivery.
        QTest::newRow("connection dropped after the request")
            << Reply{.action = Reply::Action::drop} << 3 << "couldn't reach Microsoft 365" << 0;
        // One message in flight at a time: nothing else goes while the first is unanswered.
        QTest::newRow("no answer within the transfer time-out")
            << Reply{.action = Reply::Action::hold} << 1 << "no answer within 0.3 s" << 290;
        // Back-off alone would try the other message at once: throttling pauses the mailbox.
        Reply throttled = FakeProvider::apiError(429, "ApplicationThrottled");
        throttled.headers.append({QByteArray("Retry-After"), QByteArray("1")});
        QTest::newRow("throttled with Retry-After")
            << throttled << 1 << "ApplicationThrottled (HTTP 429)" << 950;
    }

    void passingFailuresRetried() {
        QFETCH(Reply, failure);
        QFETCH(int, times);
        QFETCH(QString, logged);
        QFETCH(int, pauseMs);
        m_timing.transferTimeout = 300ms;
        for (int i = 0; i < times; ++i)
            m_provider->queueReply(Endpoint::graph, failure);
        const QString first = spoolMessage();
        spoolMessage();
        QElapsedTimer clock;
        QList<qint64> requestTimes;
        connect(m_provider.get(), &FakeProvider::received, this, [&](Endpoint endpoint) {
            if (endpoint == Endpoint::graph)
                requestTimes.append(clock.elapsed());
        });
        clock.start();
        startEngine();

        QTRY_COMPARE_WITH_TIMEOUT(m_spool->depth(), 0, 10000);
        QCOMPARE(requestTimes.size(), times + 2);
        QVERIFY2(requestTimes[1] - requestTimes[0] >= pauseMs,
                 qPrintable(QString::number(requestTimes[1] - requestTimes[0])));
        const QByteArray log = readFile(m_log->filePath());
        QVERIFY2(log.contains(QStringLiteral("message %1 from <").arg(first).toUtf8() +
                              "scan@printer.example.org> to a@x.test not sent, trying again in") &&
                     log.contains(logged.toUtf8()),
                 log.constData());
        QVERIFY(!m_engine->lastFailure());
    }

    void refusedMessagesGoToTheFailedFolder_data() {
        QTest::addColumn<Reply>("refusal");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QDateTime>("arrival");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QTest::newRow("400") << FakeProvider::apiError(400, "ErrorInvalidRecipients") << scan
                             << "refused the message: ErrorInvalidRecipients (HTTP 400)" << now;
        QTest::newRow("413") << Reply{.status = 413, .body = "<html>too big</html>"} << scan
                             << "refused the message (HTTP 413)" << now;
        QTest::newRow("larger than Graph takes")
            << Reply{} << QByteArray("Subject: big\r\n\r\n") + QByteArray(3'000'000, 'x')
            << "the message is 3.0 MB, more than the 3.0 MB that Microsoft 365 accepts" << now;
        QTest::newRow("passing failure after five days")
            << FakeProvider::apiError(503, "ServiceUnavailable") << scan
            << "not sent after 1 attempts since" << now.addDays(-6);
    }

    // Behind a message that went out in the same pass: its success must not clear the refusal.
    void refusedMessagesGoToTheFailedFolder() {
        QFETCH(Reply, refusal);
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QFETCH(QDateTime, arrival);
        m_provider->queueReply(Endpoint::graph, Reply{.status = 202});
        m_provider->queueReply(Endpoint::graph, refusal);
        spoolMessage();
        const QString id = spoolMessage(content, {"a@x.test"}, arrival);
        startEngine();

        QTRY_COMPARE(m_spool->depth(), 0);
        const QString failed = m_dir->filePath(QStringLiteral("failed/msg-") + id);
        QCOMPARE(readFile(failed + QStringLiteral(".eml")), content);
        const QString summary = QString::fromUtf8(readFile(failed + QStringLiteral(".txt")));
        QVERIFY2(summary.contains(reason), qPrintable(summary));
        QVERIFY(summary.contains(u"Recipients: a@x.test"));
        QVERIFY(m_engine->lastFailure());
        QVERIFY(m_engine->lastFailure()->text.contains(u"moved to the failed folder"));
        QVERIFY(m_engine->lastFailure()->text.contains(reason));
    }

    void rotatedRefreshTokenStoredAtOnce() {
        m_provider->queueReply(Endpoint::token,
                               FakeProvider::tokenReply("access-1", 3600, "refresh-2"));
        spoolMessage();
        spoolMessage();
        startEngine();
        QTRY_COMPARE(m_spool->depth(), 0);

        QCOMPARE(SettingsStore(m_dir->path(), *m_log).secrets().refreshToken,
                 QStringLiteral("refresh-2"));
        // The access token that came with it still serves.
        QCOMPARE(m_provider->requestCount(Endpoint::token), 1);
        QVERIFY(m_engine->authenticated());

        const QByteArray log = readFile(m_log->filePath());
        for (const char* secret : {"refresh-1", "refresh-2", "access-1", "gmail-secret"})
            QVERIFY2(!log.contains(secret), secret);
    }

    void accessTokenKeptUntilTheRenewalMargin_data() {
        QTest::addColumn<int>("expiresIn"); // seconds, as the provider says
        QTest::addColumn<std::chrono::milliseconds>("margin");
        QTest::addColumn<std::chrono::milliseconds>("askedAgainAfter");
        QTest::addColumn<QString>("second");
        const std::chrono::milliseconds margin = 5min;
        QTest::newRow("lifetime shorter than the margin: kept for half of it")
            << 60 << margin << 0ms << "access-1";
        QTest::newRow("within the margin") << 1 << 400ms << 700ms << "access-2";
    }

    void accessTokenKeptUntilTheRenewalMargin() {
        QFETCH(int, expiresIn);
        QFETCH(std::chrono::milliseconds, margin);
        QFETCH(std::chrono::milliseconds, askedAgainAfter);
        QFETCH(QString, second);
        for (const char* issued : {"access-1", "access-2"})
            m_provider->queueReply(Endpoint::token, FakeProvider::tokenReply(issued, expiresIn));
        m_timing.tokenRenewalMargin = margin;
        spoolMessage();
        startEngine();
        QTRY_COMPARE(m_spool->depth(), 0);
        // Nothing to wait for but the clock.
        QTest::qWait(int(askedAgainAfter.count()));
        spoolMessage();
        m_engine->messageAccepted();
        QTRY_COMPARE(m_spool->depth(), 0);
        QCOMPARE(m_provider->requests(Endpoint::graph).last().headers.value("authorization"),
                 "Bearer " + second.toUtf8());
    }

    void testSend_data() {
        QTest::addColumn<std::optional<Reply>>("reply");
        QTest::addColumn<std::optional<QString>>("answer");
        QTest::newRow("accepted") << std::optional<Reply>() << std::optional<QString>();
        QTest::newRow("no answer in time")
            << std::optional(Reply{.action = Reply::Action::hold})
            << std::optional<QString>("Microsoft 365 did not answer within 0.3 s");
    }

    void testSend() {
        QFETCH(std::optional<Reply>, reply);
        QFETCH(std::optional<QString>, answer);
        m_timing.testSendLimit = 300ms;
        if (reply)
            m_provider->queueReply(Endpoint::graph, *reply);
        startEngine();

        bool answered = false;
        std::optional<QString> failure;
        m_engine->testSend(QStringLiteral("me@x.test"), [&](const std::optional<QString>& f) {
            QVERIFY(!answered);
            answered = true;
            failure = f;
        });
        QTRY_VERIFY(answered);
        QCOMPARE(failure, answer);
        const QByteArray message = sentMessage(m_provider->requests(Endpoint::graph).first());
        QVERIFY(message.startsWith("From: me@example.com\r\nTo: me@x.test\r\n"));
        // A late answer after the time limit must not answer twice.
        QTest::qWait(50);
    }

private:
    void signIn(const QString& provider, const QString& refreshToken,
                const QString& sender = QStringLiteral("me@example.com")) {
        Settings settings = m_store->settings();
        settings.provider = provider;
        settings.signedInProvider = provider;
        settings.fromAddress = sender;
        settings.signedInEmail = QStringLiteral("me@example.com");
        settings.m365ClientId = QStringLiteral("m365-client");
        settings.m365TenantId = QStringLiteral("common");
        settings.gmailClientId = QStringLiteral("gmail-client");
        settings.microsoftLoginBase = m_provider->baseUrl();
        settings.graphBase = m_provider->baseUrl();
        settings.googleTokenUrl = m_provider->googleTokenUrl();
        settings.gmailBase = m_provider->baseUrl();
        m_store->save(settings);
        Secrets secrets = m_store->secrets();
        secrets.refreshToken = refreshToken;
        secrets.gmailClientSecret = QStringLiteral("gmail-secret");
        m_store->save(secrets);
    }

    QString spoolMessage(const QByteArray& content = scan,
                         const QStringList& recipients = {QStringLiteral("a@x.test")},
                         const QDateTime& arrival = QDateTime::currentDateTimeUtc()) {
        const std::unique_ptr<SpoolWriter> writer =
            m_spool->begin({QStringLiteral("scan@printer.example.org"), recipients,
                            QStringLiteral("192.0.2.7:50000"), arrival});
        writer->write(content.constData(), content.size());
        return writer->commit();
    }

    void startEngine() {
        m_engine = std::make_unique<DeliveryEngine>(*m_store, *m_spool, *m_log,
                                                    m_dir->filePath(QStringLiteral("failed")),
                                                    m_timing, DeliveryEngine::SizeLimitChanged());
    }

    std::optional<QTemporaryDir> m_dir;
    std::optional<Log> m_log;
    std::optional<SettingsStore> m_store;
    std::optional<Spool> m_spool;
    std::unique_ptr<FakeProvider> m_provider;
    std::unique_ptr<DeliveryEngine> m_engine;
    DeliveryTiming m_timing;
};

QTEST_GUILESS_MAIN(DeliveryEngineTest)
#include "tst_DeliveryEngine.moc"
