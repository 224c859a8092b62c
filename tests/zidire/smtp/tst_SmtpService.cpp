#include "LoopbackSmtp.h"
#include "OpenFiles.h"
#include "smtp/AuthFailureBudget.h"

#include <QDir>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace zidire;
using namespace std::chrono_literals;

namespace {

// A client driven from the test's event loop, so the service in the same thread keeps running.
class Client {
public:
    bool connect(quint16 port, const QHostAddress& from = QHostAddress::LocalHost) {
        m_socket.bind(from);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }

    // Connected and given the greeting that lets a session begin.
    bool greeted(quint16 port, const QHostAddress& from = QHostAddress::LocalHost) {
        return connect(port, from) && reply().startsWith("220 ");
    }

    void send(const QByteArray& bytes) { m_socket.write(bytes); }

    // The next complete reply (all its lines), or an empty text if none came in time.
    QByteArray reply() {
        QByteArray reply;
        while (QTest::qWaitFor([this] { return m_socket.canReadLine(); }, 10000)) {
            const QByteArray line = m_socket.readLine();
            reply += line;
            if (line.size() < 4 || line[3] != '-')
                return reply;
        }
        return {};
    }

    bool waitForDisconnect() {
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, 10000);
    }

    // Whether the handshake succeeds when the client offers `protocol` only.
    bool encrypt(QSsl::SslProtocol protocol) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.setProtocol(protocol);
        // Old copiers' protocols: OpenSSL offers them only at security level 0.
        tls.setBackendConfigurationOption("CipherString", "DEFAULT:@SECLEVEL=0");
        m_socket.setSslConfiguration(tls);
        m_socket.startClientEncryption();
        const auto ended = [this] {
            return m_socket.isEncrypted() || m_socket.state() != QAbstractSocket::ConnectedState;
        };
        return QTest::qWaitFor(ended) && m_socket.isEncrypted();
    }

    QSslSocket& socket() { return m_socket; }

private:
    QSslSocket m_socket;
};

const QByteArray authPlain = "AUTH PLAIN " + QByteArray("\0copier\0secret", 14).toBase64() + "\r\n";
const QByteArray wrongAuth = "AUTH PLAIN " + QByteArray("\0copier\0wrong", 13).toBase64() + "\r\n";
const QHostAddress otherHost(QStringLiteral("127.0.0.2"));

} // namespace

class SmtpServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;

    // On an empty spool each time; the certificate made the first time serves all.
    std::unique_ptr<LoopbackSmtp> start(const LoopbackSmtp::Adjust& adjust = {}) {
        QDir(m_directory.filePath(QStringLiteral("spool"))).removeRecursively();
        return std::make_unique<LoopbackSmtp>(m_directory.path(), adjust);
    }

private Q_SLOTS:
    // Both TLS listeners at TLS 1.2 or later, where the session starts afresh after the handshake
    // and takes AUTH. Older TLS only with the setting for old copiers (tst_DeliveryDaemon).
    void tlsOnBothListeners() {
        const auto smtp = start();
        for (const bool implicit : {false, true}) {
            Client client;
            if (implicit) {
                QVERIFY(client.connect(smtp->port(2)));
            } else {
                QVERIFY(client.greeted(smtp->port(1)));
                client.send("EHLO a\r\nSTARTTLS\r\n");
                QVERIFY(client.reply().startsWith("250") && client.reply().startsWith("220 "));
            }
            QVERIFY(client.encrypt(QSsl::TlsV1_2OrLater));
            if (implicit)
                QVERIFY(client.reply().startsWith("220 "));
            client.send("EHLO a\r\n" + authPlain);
            QVERIFY(client.reply().startsWith("250") && client.reply().startsWith("235 "));
        }
        Client old;
        QVERIFY(old.connect(smtp->port(2)));
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QVERIFY(!old.encrypt(QSsl::TlsV1_1));
        QT_WARNING_POP
    }

    // A busy port is reported; the others serve. Listening again once it is free picks it up,
    // and a session that was open goes on.
    void busyPortThenRebind() {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost, 0));
        const auto smtp = start([&](SmtpOptions& o) { o.plainPort = blocker.serverPort(); });
        QVERIFY(smtp->service.listeners()[0].error.has_value());
        QCOMPARE(smtp->service.listeners()[0].address,
                 QStringLiteral("127.0.0.1:%1").arg(blocker.serverPort()));

        Client open;
        QVERIFY(open.greeted(smtp->port(1)));

        blocker.close();
        smtp->service.listen(QHostAddress::LocalHost);
        QCOMPARE(smtp->service.listeners()[0].error, std::nullopt);
        QVERIFY(Client().greeted(smtp->port(0)));
        open.send("NOOP\r\n");
        QVERIFY(open.reply().startsWith("250 "));
    }

    // A session that makes no progress is closed, even when it trickles bytes.
    void idleAndTricklingSessionsTimeOut() {
        const auto smtp = start([](SmtpOptions& o) { o.idleTimeout = 300ms; });
        Client idle, trickling;
        QVERIFY(idle.greeted(smtp->port(0)) && trickling.greeted(smtp->port(0)));
        QTimer drip;
        QObject::connect(&drip, &QTimer::timeout, [&] { trickling.send("x"); });
        drip.start(50ms);
        QVERIFY(idle.reply().startsWith("421 4.4.2"));
        QVERIFY(idle.waitForDisconnect());
        QVERIFY(trickling.reply().startsWith("421 4.4.2"));
        QVERIFY(smtp->log.tail().contains(QStringLiteral("no progress")));
    }

    // The delay after a failed AUTH holds back that client only.
    void failedAuthDoesNotDelayOthers() {
        const auto smtp = start([](SmtpOptions& o) { o.authFailureDelay = 3s; });
        Client guesser, other;
        QVERIFY(guesser.greeted(smtp->port(0)) && other.greeted(smtp->port(0)));
        guesser.send("EHLO a\r\n");
        QVERIFY(guesser.reply().startsWith("250"));

        guesser.send(wrongAuth);
        other.send("NOOP\r\n");
        QVERIFY(other.reply().startsWith("250 "));
        QVERIFY(guesser.socket().bytesAvailable() == 0);
        QVERIFY(guesser.reply().startsWith("535 5.7.8"));
    }

    // Only the text under way is in a file; the other files are empty ones made ahead of need.
    void droppedConnectionLeavesNoPartialMessage() {
        const auto smtp = start();
        Client client;
        QVERIFY(client.connect(smtp->port(0)));
        client.send("EHLO a\r\n" + authPlain +
                    "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n" +
                    (QByteArray(998, 'x') + "\r\n").repeated(100));
        for (const char* code : {"220", "250", "235", "250", "250", "354"})
            QVERIFY(client.reply().startsWith(code));
        const auto filesWithText = [spool = smtp->spool.directory()] {
            const QList<qint64> sizes = openFileSizesIn(spool);
            return std::count_if(sizes.begin(), sizes.end(), [](qint64 size) { return size > 0; });
        };
        QTRY_COMPARE(filesWithText(), 1);
        client.socket().abort();
        QTRY_COMPARE(filesWithText(), 0);
    }

    void tooManySessions() {
        const auto smtp = start([](SmtpOptions& o) { o.maxSessions = 2; });
        Client first, second, third;
        for (Client* client : {&first, &second, &third})
            QVERIFY(client->connect(smtp->port(0)));
        QVERIFY(first.reply().startsWith("220 ") && second.reply().startsWith("220 "));
        QVERIFY(third.reply().startsWith("421 4.3.2"));
        QVERIFY(third.waitForDisconnect());
        first.send("QUIT\r\n");
        QVERIFY(first.waitForDisconnect());
        // Once the server has let go of the first session, there is room again.
        QVERIFY(QTest::qWaitFor([&] { return Client().greeted(smtp->port(0)); }));
    }

    // On the implicit-TLS port the refusal is not a word of plain text.
    void oneHostCannotTakeEverySession_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("plain") << 0 << QByteArray("421 4.7.0");
        QTest::newRow("implicit TLS") << 2 << QByteArray();
    }

    void oneHostCannotTakeEverySession() {
        QFETCH(int, port);
        QFETCH(QByteArray, refusal);
        const auto smtp = start([](SmtpOptions& o) { o.maxSessionsPerClient = 2; });
        Client first, second, third, elsewhere;
        for (Client* client : {&first, &second, &third})
            QVERIFY(client->connect(smtp->port(port)));
        QVERIFY(third.waitForDisconnect());
        QCOMPARE(third.socket().readAll().left(9), refusal);
        QVERIFY(elsewhere.connect(smtp->port(port), otherHost));
        QVERIFY(port == 0 || elsewhere.encrypt(QSsl::TlsV1_2OrLater));
        QVERIFY(elsewhere.reply().startsWith("220 "));
    }

    // A NOOP now and then keeps the idle timer from firing, not these.
    void sessionsEndWithoutSignInAndAfterTheirLifetime_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("reason");
        QTest::newRow("never signs in") << 0 << QByteArray("EHLO a\r\n") << "not signed in";
        QTest::newRow("no TLS handshake") << 2 << QByteArray() << "not signed in";
        QTest::newRow("signed in, forever") << 0 << "EHLO a\r\n" + authPlain << "open for longer";
    }

    void sessionsEndWithoutSignInAndAfterTheirLifetime() {
        QFETCH(int, port);
        QFETCH(QByteArray, input);
        QFETCH(QString, reason);
        const auto smtp = start([](SmtpOptions& o) {
            o.signInTimeout = 300ms;
            o.maxSessionLifetime = 900ms;
        });
        Client client;
        QVERIFY(client.connect(smtp->port(port)));
        client.send(input);
        QTimer noop;
        QObject::connect(&noop, &QTimer::timeout, [&] {
            if (!input.isEmpty())
                client.send("NOOP\r\n");
        });
        noop.start(50ms);
        QVERIFY(client.waitForDisconnect());
        QVERIFY(smtp->log.tail().contains(reason));
    }

    // Failures are "host@second", hosts a-f being 127.0.0.1-6; each used up '-' nothing, 'c' its
    // host's budget, 'e' everyone's. Then, at `checkedAt`, which of a, b and f may try AUTH.
    void authFailureBudget_data() {
        QTest::addColumn<QString>("failures");
        QTest::addColumn<QString>("exhausted");
        QTest::addColumn<int>("checkedAt");
        QTest::addColumn<QString>("admitted");
        QTest::newRow("a host's third failure locks it out alone, once") << "a@0 a@1 a@2 a@3"
                                                                         << "--c-" << 4 << "bf";
        QTest::newRow("a lockout ends") << "a@0 a@1 a@2"
                                        << "--c" << 62 << "abf";
        QTest::newRow("failures a window apart") << "a@0 a@1 a@10"
                                                 << "---" << 11 << "abf";
        QTest::newRow("many hosts lock out everyone") << "a@0 b@1 c@2 d@3 e@4"
                                                      << "----e" << 63 << "";
    }

    void authFailureBudget() {
        QFETCH(QString, failures);
        QFETCH(QString, exhausted);
        QFETCH(int, checkedAt);
        QFETCH(QString, admitted);
        std::chrono::seconds now{};
        AuthFailureBudget budget({.perClient = 3, .total = 5, .window = 10s, .lockout = 60s},
                                 [&] { return std::chrono::steady_clock::time_point(now); });
        const auto host = [](QChar name) {
            return QHostAddress(0x7f000001 + name.unicode() - 'a');
        };
        QString outcomes, admittedNow;
        for (const QString& failure : failures.split(u' ')) {
            now = std::chrono::seconds(failure.mid(2).toInt());
            outcomes += "-ce"[int(budget.recordFailure(host(failure[0])))];
        }
        now = std::chrono::seconds(checkedAt);
        for (const QChar name : QStringLiteral("abf"))
            if (budget.admits(host(name)))
                admittedNow += name;
        QCOMPARE(outcomes + u' ' + admittedNow, exhausted + u' ' + admitted);
    }

    // Many connections do not buy more guesses; the refusal is logged once.
    void guessingHostIsRefusedAuth() {
        const auto smtp = start([](SmtpOptions& o) {
            o.authFailureDelay = 1ms;
            o.authFailureLimits.perClient = 3;
        });
        Client guesser, again, elsewhere;
        QVERIFY(guesser.greeted(smtp->port(0)));
        guesser.send("EHLO a\r\n" + wrongAuth + wrongAuth + wrongAuth + wrongAuth);
        for (const char* code : {"250", "535", "535", "535", "454 4.7.0"})
            QVERIFY(guesser.reply().startsWith(code));
        QVERIFY(again.greeted(smtp->port(0)) && elsewhere.greeted(smtp->port(0), otherHost));
        again.send("EHLO a\r\n" + authPlain);
        elsewhere.send("EHLO a\r\n" + authPlain);
        QVERIFY(again.reply().startsWith("250") && again.reply().startsWith("454 4.7.0"));
        QVERIFY(elsewhere.reply().startsWith("250") && elsewhere.reply().startsWith("235 "));
        QCOMPARE(smtp->log.tail().count(QStringLiteral("refusing SMTP sign-ins")), 1);
    }
};

QTEST_GUILESS_MAIN(SmtpServiceTest)
#include "tst_SmtpService.moc"
