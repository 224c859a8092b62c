#include "FakeProvider.h"
#include "LocalRelay.h"
#include "SmtpSubmission.h"

#include <QSslSocket>
#include <QTest>

using Endpoint = FakeProvider::Endpoint;
using Reply = FakeProvider::Reply;

namespace {

const QString devicePassword = QStringLiteral("copier-password-7Q");
const QString refreshToken = QStringLiteral("refresh-token-K3");

// Starts a zidire whose providers are `provider`, which admits old copiers' TLS; signs it in the
// way the application does after a browser sign-in, and sets the copiers' login.
bool start(LocalRelay& zidire, const FakeProvider& provider) {
    zidire.writeSettings(
        QStringLiteral(R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":"%1",)"
                       R"("ZIDIRE_GRAPH_BASE":"%1","ZIDIRE_GOOGLE_TOKEN_URL":"%2",)"
                       R"("ZIDIRE_GMAIL_BASE":"%1","allow_legacy_tls":true})")
            .arg(provider.baseUrl(), provider.googleTokenUrl())
            .toUtf8());
    if (!zidire.start())
        return false;
    const ControlClient client = zidire.client();
    client.updateOAuthClient({.m365 = AzureAppUpdate{QStringLiteral("m365-client"), QString(),
                                                     QStringLiteral("common")}});
    client.setCredentials(QStringLiteral("m365"), refreshToken, QStringLiteral("me@example.com"));
    client.updateSender(QStringLiteral("m365"), QStringLiteral("me@example.com"));
    client.setDeviceUser(QStringLiteral("copier"), devicePassword);
    return true;
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
    }

    void cleanupTestCase() { QCOMPARE(m_zidire.stop(), 0); }

    void overSizeRefusedAtSmtpTime() {
        const QByteArray answer =
            submit(m_zidire, "big", "MAIL FROM:<scan@printer.example.org> SIZE=3000000");
        QVERIFY2(answer.startsWith("552 5.3.4 Message too big: Microsoft 365 takes messages of up "
                                   "to 2934464 bytes"),
                 answer.constData());
    }

    // A passing failure is shown until a retry succeeds; an expired sign-in until the next one.
    void failuresShownUntilResolved() {
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

        // The cached access token runs out: make the next send renew it, and refuse that.
        m_provider.queueReply(Endpoint::graph,
                              FakeProvider::apiError(401, "InvalidAuthenticationToken"));
        m_provider.queueReply(Endpoint::token, FakeProvider::oauthError(400, "invalid_grant"));
        QVERIFY(submit(m_zidire, "expired-8").startsWith("250"));
        QTRY_VERIFY(!client.status().authenticated);
        client.setCredentials(QStringLiteral("m365"), QStringLiteral("refresh-token-renewed"),
                              QStringLiteral("me@example.com"));
        QTRY_COMPARE(client.status().spoolDepth, 0);
    }

    void legacyTlsSettingReachesTheListeners() {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        tls.setProtocol(QSsl::TlsV1_0);
        QT_WARNING_POP
        tls.setBackendConfigurationOption("CipherString", "DEFAULT:@SECLEVEL=0");
        QSslSocket copier;
        copier.setSslConfiguration(tls);
        copier.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_zidire.smtpPorts()[2]);
        QVERIFY2(copier.waitForEncrypted(10000), qPrintable(copier.errorString()));
    }

    void nothingLostAcrossAKill() {
        FakeProvider provider;
        LocalRelay zidire;
        QVERIFY2(start(zidire, provider), qPrintable(zidire.standardError()));
        // The provider takes the first message and never answers: zidire is killed while it
        // waits, the rest still queued behind it.
        provider.queueReply(Endpoint::graph, Reply{.action = Reply::Action::hold});
        constexpr int messages = 5;
        for (int i = 0; i < messages; ++i)
            QVERIFY(submit(zidire, "kill-" + QByteArray::number(i)).startsWith("250"));
        QTRY_COMPARE(provider.requestCount(Endpoint::graph), 1);
        QCOMPARE(zidire.stop(SIGKILL), -1);

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
