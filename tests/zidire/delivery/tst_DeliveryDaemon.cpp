#include "FakeProvider.h"
#include "LocalRelay.h"
#include "SmtpSubmission.h"

#include <QDir>
#include <QFile>
#include <QTest>

using Endpoint = FakeProvider::Endpoint;
using Reply = FakeProvider::Reply;

namespace {

const QString devicePassword = QStringLiteral("copier-password-7Q");
const QString refreshToken = QStringLiteral("refresh-token-K3");

// A zidire whose providers are `provider`.
bool start(LocalRelay& zidire, const FakeProvider& provider) {
    zidire.writeSettings(
        QStringLiteral(R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":"%1",)"
                       R"("ZIDIRE_GRAPH_BASE":"%1","ZIDIRE_GOOGLE_TOKEN_URL":"%2",)"
                       R"("ZIDIRE_GMAIL_BASE":"%1"})")
            .arg(provider.baseUrl(), provider.googleTokenUrl())
            .toUtf8());
    return zidire.start();
}

// Signs in the way the application does after a browser sign-in, and sets the copiers' login.
void setUp(const ControlClient& client, const QString& token = refreshToken) {
    client.updateOAuthClient({.m365 = AzureAppUpdate{QStringLiteral("m365-client"), QString(),
                                                     QStringLiteral("common")}});
    client.setCredentials(QStringLiteral("m365"), token, QStringLiteral("me@example.com"));
    client.updateSender(QStringLiteral("m365"), QStringLiteral("me@example.com"));
    client.setDeviceUser(QStringLiteral("copier"), devicePassword);
}

// A copier's scan with `subject`; the answer to its end of DATA.
QByteArray submit(const LocalRelay& zidire, const QByteArray& subject,
                  const QByteArray& mailFrom = "MAIL FROM:<scan@printer.example.org>") {
    SmtpSubmission copier(zidire.smtpPorts()[0], "copier", devicePassword.toUtf8());
    return copier.send(mailFrom, {"a@x.test"},
                       "From: Copier <scan@printer.example.org>\r\nTo: a@x.test\r\nSubject: " +
                           subject + "\r\n\r\nscanned page\r\n");
}

// Whether the fake got a message with `subject` through Graph.
bool delivered(const FakeProvider& provider, const QByteArray& subject) {
    const QList<FakeProvider::Request>& sent = provider.requests(Endpoint::graph);
    return std::any_of(sent.begin(), sent.end(), [&](const FakeProvider::Request& request) {
        return QByteArray::fromBase64(request.body).contains("Subject: " + subject + "\r\n");
    });
}

} // namespace

// The real zidire between a copier (SMTP) and a fake provider (HTTP on loopback): how its parts
// are joined. What each part decides is tested beside it.
class DeliveryDaemonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(start(m_zidire, m_provider), qPrintable(m_zidire.standardError()));
        setUp(m_zidire.client());
    }

    void cleanupTestCase() { QCOMPARE(m_zidire.stop(), 0); }

    void overSizeRefusedAtSmtpTime() {
        const QByteArray answer =
            submit(m_zidire, "big", "MAIL FROM:<scan@printer.example.org> SIZE=3000000");
        QVERIFY2(answer.startsWith("552 5.3.4 Message too big: Microsoft 365 takes messages of up "
                                   "to 2934464 bytes"),
                 answer.constData());
    }

    void failureShownUntilRetrySucceeds() {
        const ControlClient client = m_zidire.client();
        m_provider.queueReply(Endpoint::graph, FakeProvider::apiError(503, "ServiceUnavailable"));
        QVERIFY(submit(m_zidire, "retry-7").startsWith("250"));
        QTRY_VERIFY(client.status().lastError);
        const ControlStatus failing = client.status();
        QVERIFY2(failing.lastError->contains(u"HTTP 503"), qPrintable(*failing.lastError));
        QVERIFY(*failing.lastErrorAgeSeconds >= 0);
        QCOMPARE(failing.spoolDepth, 1);

        client.retryNow();
        QTRY_COMPARE(client.status().spoolDepth, 0);
        QVERIFY(!client.status().lastError);
        QVERIFY(delivered(m_provider, "retry-7"));
    }

    void expiredSignInShownAndResolvedBySigningIn() {
        const ControlClient client = m_zidire.client();
        // The cached access token runs out: make the next send renew it, and refuse that.
        m_provider.queueReply(Endpoint::graph,
                              FakeProvider::apiError(401, "InvalidAuthenticationToken"));
        m_provider.queueReply(Endpoint::token, FakeProvider::oauthError(400, "invalid_grant"));
        QVERIFY(submit(m_zidire, "expired-8").startsWith("250"));
        QTRY_VERIFY(!client.status().authenticated);
        QCOMPARE(*client.status().lastError, QStringLiteral("Sign-in expired — sign in again"));
        QCOMPARE(client.status().spoolDepth, 1);

        setUp(client, QStringLiteral("refresh-token-renewed"));
        QVERIFY(client.status().authenticated);
        QTRY_COMPARE(client.status().spoolDepth, 0);
        QVERIFY(delivered(m_provider, "expired-8"));

        QFile file(m_zidire.logFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray log = client.fetchLog().toUtf8() + file.readAll();
        for (const QByteArray& secret : {refreshToken.toUtf8(), QByteArray("refresh-token-renewed"),
                                         QByteArray("access-1"), devicePassword.toUtf8()})
            QVERIFY2(!log.contains(secret), secret.constData());
    }

    void nothingLostAcrossAKill() {
        FakeProvider provider;
        LocalRelay zidire;
        QVERIFY2(start(zidire, provider), qPrintable(zidire.standardError()));
        setUp(zidire.client());
        // The provider takes the first message and never answers: zidire is killed while it
        // waits, the rest still queued behind it.
        provider.queueReply(Endpoint::graph, Reply{.action = Reply::Action::hold});
        constexpr int messages = 5;
        for (int i = 0; i < messages; ++i)
            QVERIFY(submit(zidire, "kill-" + QByteArray::number(i)).startsWith("250"));
        QTRY_COMPARE(provider.requestCount(Endpoint::graph), 1);
        QCOMPARE(zidire.stop(SIGKILL), -1);
        const QDir spool(zidire.stateDirectory() + QStringLiteral("/spool"));
        QCOMPARE(spool.entryList({QStringLiteral("msg-*")}, QDir::Files).size(), messages);

        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QTRY_COMPARE_WITH_TIMEOUT(zidire.client().status().spoolDepth, 0, 20000);
        for (int i = 0; i < messages; ++i)
            QVERIFY2(delivered(provider, "kill-" + QByteArray::number(i)),
                     qPrintable(QString::number(i)));
        QCOMPARE(zidire.stop(), 0);
    }

private:
    FakeProvider m_provider;
    LocalRelay m_zidire;
};

QTEST_GUILESS_MAIN(DeliveryDaemonTest)
#include "tst_DeliveryDaemon.moc"
