#include "LoopbackSmtp.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace zidire;
using namespace std::chrono_literals;

namespace {

// A plain client driven from the test's event loop, so the service in the same thread keeps
// running.
class Client {
public:
    bool connect(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }

    // Connected and given the greeting that lets a session begin.
    bool greeted(quint16 port) { return connect(port) && reply().startsWith("220 "); }

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

    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

const QByteArray authPlain = "AUTH PLAIN " + QByteArray("\0copier\0secret", 14).toBase64() + "\r\n";
const QByteArray wrongAuth = "AUTH PLAIN " + QByteArray("\0copier\0wrong", 13).toBase64() + "\r\n";

} // namespace

class SmtpServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;

    // On an empty spool each time; the certificate made the first time serves all.
    std::unique_ptr<LoopbackSmtp> start(const LoopbackSmtp::Adjust& adjust = {}) {
        QDir(m_directory.filePath(QStringLiteral("spool"))).removeRecursively();
        return std::make_unique<LoopbackSmtp>(m_directory.path(), adjust);
    }

    static QStringList spoolFiles(const LoopbackSmtp& smtp) {
        return QDir(smtp.spool.directory()).entryList(QDir::Files);
    }

private Q_SLOTS:
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

    void droppedConnectionLeavesNoPartialMessage() {
        const auto smtp = start();
        Client client;
        QVERIFY(client.connect(smtp->port(0)));
        client.send("EHLO a\r\n" + authPlain +
                    "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n" +
                    QByteArray(500, 'x') + "\r\n");
        for (const char* code : {"220", "250", "235", "250", "250", "354"})
            QVERIFY(client.reply().startsWith(code));
        QTRY_COMPARE(spoolFiles(*smtp).size(), 1);
        client.socket().abort();
        QTRY_VERIFY(spoolFiles(*smtp).isEmpty());
        QCOMPARE(smtp->spool.depth(), 0);
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
};

QTEST_GUILESS_MAIN(SmtpServiceTest)
#include "tst_SmtpService.moc"
