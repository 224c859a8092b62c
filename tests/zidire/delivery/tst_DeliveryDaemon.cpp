#include "../control/ZidireProcess.h"
#include "FakeProvider.h"
#include "SmtpSubmission.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <future>

using Endpoint = FakeProvider::Endpoint;
using Reply = FakeProvider::Reply;

namespace {

const QString devicePassword = QStringLiteral("copier-password-7Q");
const QString refreshToken = QStringLiteral("refresh-token-K3");

SmtpSubmission copier(quint16 port) {
    return SmtpSubmission(port, "copier", devicePassword.toUtf8());
}

QByteArray settingsFor(const FakeProvider& provider) {
    return QStringLiteral(R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":"%1",)"
                          R"("ZIDIRE_GRAPH_BASE":"%1","ZIDIRE_GOOGLE_TOKEN_URL":"%2",)"
                          R"("ZIDIRE_GMAIL_BASE":"%1"})")
        .arg(provider.baseUrl(), provider.googleTokenUrl())
        .toUtf8();
}

// Signs in the way the application does after a browser sign-in, and sets the copiers' login.
void setUp(const ControlClient& client, const QString& token = refreshToken) {
    client.updateOAuthClient({.m365 = AzureAppUpdate{QStringLiteral("m365-client"), QString(),
                                                     QStringLiteral("common")}});
    client.setCredentials(QStringLiteral("m365"), token, QStringLiteral("me@example.com"));
    client.updateSender(QStringLiteral("m365"), QStringLiteral("me@example.com"));
    client.setDeviceUser(QStringLiteral("copier"), devicePassword);
}

QByteArray scanTo(const QByteArray& marker) {
    return "From: Copier <scan@printer.example.org>\r\nTo: a@x.test\r\nSubject: " + marker +
           "\r\n\r\nscanned page\r\n";
}

// The messages the fake got through Graph, decoded.
QList<QByteArray> delivered(const FakeProvider& provider) {
    QList<QByteArray> messages;
    for (const FakeProvider::Request& request : provider.requests(Endpoint::graph))
        messages.append(QByteArray::fromBase64(request.body));
    return messages;
}

bool anyContains(const QList<QByteArray>& messages, const QByteArray& text) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const QByteArray& message) { return message.contains(text); });
}

// Control requests that wait for the provider run beside the event loop that serves the fake.
template <class Call> auto whileServing(Call call) {
    auto result = std::async(std::launch::async, call);
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(
            result.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 30000);
    }();
    return result.get();
}

} // namespace

// The real zidire between a copier (SMTP) and a fake provider (HTTP on loopback).
class DeliveryDaemonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        m_zidire = std::make_unique<ZidireProcess>(m_home.path());
        m_zidire->writeSettings(settingsFor(m_provider));
        QVERIFY2(m_zidire->start(), qPrintable(m_zidire->standardError()));
        setUp(m_zidire->client());
    }

    void cleanupTestCase() { QCOMPARE(m_zidire->stop(), 0); }

    void copierInputRelayed_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("recipients");
        QTest::addColumn<QByteArray>("smtpReply");
        QTest::addColumn<QByteArrayList>("delivered"); // texts the provider's copy contains

        QTest::newRow("scan") << scanTo("scan-1") << QStringList{"a@x.test"} << QByteArray("250")
                              << QByteArrayList{"From: me@example.com\r\n",
                                                "Reply-To: scan@printer.example.org\r\n",
                                                "Subject: scan-1\r\n"};
        QTest::newRow("no headers")
            << QByteArray("no-headers-2 page attached\r\n") << QStringList{"a@x.test"}
            << QByteArray("250")
            << QByteArrayList{"From: me@example.com\r\n", "Bcc: a@x.test\r\n",
                              "\r\n\r\nno-headers-2 page attached\r\n"};
        QTest::newRow("8-bit text")
            << QByteArray("To: a@x.test\r\nSubject: eight-3\r\n\r\nGr\xc3\xbc\xc3\x9f\x65\r\n")
            << QStringList{"a@x.test"} << QByteArray("250")
            << QByteArrayList{"Subject: eight-3\r\n\r\nGr\xc3\xbc\xc3\x9f\x65\r\n"};
        QTest::newRow("@ in the From display name")
            << QByteArray("From: scan@copier <scan@printer.example.org>\r\nTo: a@x.test\r\n"
                          "Subject: at-4\r\n\r\nx\r\n")
            << QStringList{"a@x.test"} << QByteArray("250")
            << QByteArrayList{"From: me@example.com\r\n", "Reply-To: scan@printer.example.org\r\n"};
        QTest::newRow("only Bcc recipients")
            << QByteArray("Subject: bcc-5\r\n\r\nx\r\n") << QStringList{"b@y.test", "c@z.test"}
            << QByteArray("250")
            << QByteArrayList{"Subject: bcc-5\r\n", "Bcc: b@y.test,\r\n c@z.test\r\n"};
        QTest::newRow("bare LF") << QByteArray("Subject: bare-6\r\n\r\nline\nnext\r\n")
                                 << QStringList{"a@x.test"} << QByteArray("550 5.6.0")
                                 << QByteArrayList{};
    }

    void copierInputRelayed() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, recipients);
        QFETCH(QByteArray, smtpReply);
        QFETCH(QByteArrayList, delivered);

        const qsizetype before = m_provider.requestCount(Endpoint::graph);
        SmtpSubmission smtp = copier(m_zidire->smtpPorts()[0]);
        const QByteArray answer =
            smtp.send("MAIL FROM:<scan@printer.example.org>", recipients, content);
        QVERIFY2(answer.startsWith(smtpReply), answer.constData());
        if (delivered.isEmpty()) {
            QCOMPARE(m_zidire->client().status().spoolDepth, 0);
            return;
        }
        QTRY_COMPARE(m_provider.requestCount(Endpoint::graph), before + 1);
        const QByteArray message = ::delivered(m_provider).last();
        for (const QByteArray& text : delivered)
            QVERIFY2(message.contains(text), message.constData());
        QTRY_COMPARE(m_zidire->client().status().spoolDepth, 0);
    }

    void overSizeRefusedAtSmtpTime() {
        SmtpSubmission smtp = copier(m_zidire->smtpPorts()[0]);
        const QByteArray answer = smtp.send("MAIL FROM:<scan@printer.example.org> SIZE=3000000",
                                            {"a@x.test"}, scanTo("big"));
        QVERIFY2(answer.startsWith("552 5.3.4 Message too big: Microsoft 365 takes messages of up "
                                   "to 2934464 bytes"),
                 answer.constData());
    }

    void failureShownUntilRetrySucceeds() {
        m_provider.queueReply(Endpoint::graph, FakeProvider::apiError(503, "ServiceUnavailable"));
        SmtpSubmission smtp = copier(m_zidire->smtpPorts()[0]);
        QVERIFY(smtp.send("MAIL FROM:<scan@printer.example.org>", {"a@x.test"}, scanTo("retry-7"))
                    .startsWith("250"));
        QTRY_VERIFY(m_zidire->client().status().lastError);
        const ControlStatus failing = m_zidire->client().status();
        QVERIFY2(failing.lastError->contains(u"HTTP 503"), qPrintable(*failing.lastError));
        QVERIFY(*failing.lastErrorAgeSeconds >= 0);
        QCOMPARE(failing.spoolDepth, 1);

        m_zidire->client().retryNow();
        QTRY_COMPARE(m_zidire->client().status().spoolDepth, 0);
        QVERIFY(!m_zidire->client().status().lastError);
    }

    void testSendAnswersAfterTheProvider() {
        const ControlClient client = m_zidire->client();
        whileServing([&] { client.testSend(QStringLiteral("me@x.test")); });
        QVERIFY(delivered(m_provider).last().contains("To: me@x.test\r\n"));

        m_provider.queueReply(Endpoint::graph,
                              FakeProvider::apiError(400, "ErrorInvalidRecipients"));
        const ControlResponse refused = whileServing([&] {
            return client.send({.command = ControlCommand::testSend, .to = "nobody@x.test"}, 20);
        });
        QVERIFY(!refused.ok);
        QCOMPARE(
            *refused.error,
            QStringLiteral("Microsoft 365 refused the message: ErrorInvalidRecipients (HTTP 400)"));
    }

    void expiredSignInShownAndResolvedBySigningIn() {
        const ControlClient client = m_zidire->client();
        // The cached access token runs out: make the next send renew it, and refuse that.
        m_provider.queueReply(Endpoint::graph,
                              FakeProvider::apiError(401, "InvalidAuthenticationToken"));
        m_provider.queueReply(Endpoint::token, FakeProvider::oauthError(400, "invalid_grant"));
        SmtpSubmission smtp = copier(m_zidire->smtpPorts()[0]);
        QVERIFY(smtp.send("MAIL FROM:<scan@printer.example.org>", {"a@x.test"}, scanTo("expired-8"))
                    .startsWith("250"));
        QTRY_VERIFY(!client.status().authenticated);
        QCOMPARE(*client.status().lastError, QStringLiteral("Sign-in expired — sign in again"));
        QCOMPARE(client.status().spoolDepth, 1);

        setUp(client, QStringLiteral("refresh-token-renewed"));
        QVERIFY(client.status().authenticated);
        QTRY_COMPARE(client.status().spoolDepth, 0);
        QVERIFY(anyContains(delivered(m_provider), "Subject: expired-8\r\n"));

        const QByteArray log = QByteArray(client.fetchLog().toUtf8()) + readLog();
        for (const QByteArray& secret : {refreshToken.toUtf8(), QByteArray("refresh-token-renewed"),
                                         QByteArray("access-1"), devicePassword.toUtf8()})
            QVERIFY2(!log.contains(secret), secret.constData());
    }

    void nothingLostAcrossAKill() {
        QTemporaryDir home;
        FakeProvider provider;
        ZidireProcess zidire(home.path());
        zidire.writeSettings(settingsFor(provider));
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        setUp(zidire.client());
        // The provider takes the first message and never answers: zidire is killed while it
        // waits, the rest still queued behind it.
        provider.queueReply(Endpoint::graph, Reply{.action = Reply::Action::hold});
        constexpr int messages = 5;
        for (int i = 0; i < messages; ++i) {
            SmtpSubmission smtp = copier(zidire.smtpPorts()[0]);
            QVERIFY(smtp.send("MAIL FROM:<scan@printer.example.org>", {"a@x.test"},
                              scanTo("kill-" + QByteArray::number(i)))
                        .startsWith("250"));
        }
        QTRY_COMPARE(provider.requestCount(Endpoint::graph), 1);
        QCOMPARE(zidire.stop(SIGKILL), -1);
        QCOMPARE(QDir(zidire.stateDirectory() + QStringLiteral("/spool"))
                     .entryList({QStringLiteral("msg-*")}, QDir::Files)
                     .size(),
                 messages);

        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QTRY_COMPARE_WITH_TIMEOUT(zidire.client().status().spoolDepth, 0, 20000);
        const QList<QByteArray> received = delivered(provider);
        for (int i = 0; i < messages; ++i)
            QVERIFY2(anyContains(received, "Subject: kill-" + QByteArray::number(i) + "\r\n"),
                     qPrintable(QString::number(i)));
        QCOMPARE(zidire.stop(), 0);
    }

private:
    QByteArray readLog() const {
        QFile file(m_zidire->logFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_home;
    FakeProvider m_provider;
    std::unique_ptr<ZidireProcess> m_zidire;
};

QTEST_GUILESS_MAIN(DeliveryDaemonTest)
#include "tst_DeliveryDaemon.moc"
