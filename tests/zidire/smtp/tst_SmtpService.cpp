#include "log/Log.h"
#include "smtp/SmtpService.h"
#include "spool/Spool.h"

#include <QDir>
#include <QSignalSpy>
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

    void send(const QByteArray& bytes) { m_socket.write(bytes); }

    // The next complete reply (all its lines), or an empty text if none came in time.
    QByteArray reply(int timeoutMs = 10000) {
        qsizetype end = -1;
        const bool complete = QTest::qWaitFor(
            [&] {
                m_received += m_socket.readAll();
                end = endOfFirstReply();
                return end >= 0;
            },
            timeoutMs);
        if (!complete)
            return {};
        const QByteArray reply = m_received.left(end);
        m_received.remove(0, end);
        return reply;
    }

    bool waitForDisconnect() {
        return QTest::qWaitFor(
            [this] {
                m_received += m_socket.readAll();
                return m_socket.state() == QAbstractSocket::UnconnectedState;
            },
            10000);
    }

    QTcpSocket& socket() { return m_socket; }

private:
    qsizetype endOfFirstReply() const {
        qsizetype start = 0;
        while (true) {
            const qsizetype newline = m_received.indexOf('\n', start);
            if (newline < 0)
                return -1;
            if (newline - start >= 4 && m_received[start + 3] == ' ')
                return newline + 1;
            start = newline + 1;
        }
    }

    QTcpSocket m_socket;
    QByteArray m_received;
};

const QByteArray authPlain = "AUTH PLAIN " + QByteArray("\0copier\0secret", 14).toBase64() + "\r\n";
const QByteArray wrongAuth = "AUTH PLAIN " + QByteArray("\0copier\0wrong", 13).toBase64() + "\r\n";

} // namespace

class SmtpServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;
    QString m_certificates;
    std::unique_ptr<Log> m_log;
    std::unique_ptr<Spool> m_spool;

    SmtpOptions options() const {
        SmtpOptions o;
        o.plainPort = o.starttlsPort = o.implicitTlsPort = 0;
        o.certificateDirectory = m_certificates;
        o.minFreeDiskBytes = 0;
        o.authFailureDelay = 1ms;
        return o;
    }

    std::unique_ptr<SmtpService> start(const SmtpOptions& o) {
        auto service = std::make_unique<SmtpService>(o, *m_spool, *m_log, [] {
            return std::optional(DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")});
        });
        service->listen(QHostAddress::LocalHost);
        return service;
    }

    static quint16 port(const SmtpService& service, int index) {
        return quint16(service.listeners().at(index).address.section(u':', -1).toUInt());
    }

    QStringList spoolFiles() const { return QDir(m_spool->directory()).entryList(QDir::Files); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_directory.isValid());
        m_certificates = m_directory.filePath(QStringLiteral("tls"));
        m_log = std::make_unique<Log>(m_directory.filePath(QStringLiteral("zidire.log")), false);
    }

    void init() {
        m_spool.reset();
        QDir(m_directory.filePath(QStringLiteral("spool"))).removeRecursively();
        m_spool = std::make_unique<Spool>(m_directory.filePath(QStringLiteral("spool")), *m_log);
    }

    void listenersInOrder() {
        const auto service = start(options());
        const QList<ListenerInfo> listeners = service->listeners();
        QCOMPARE(listeners.size(), 3);
        const QStringList modes{"none", "starttls", "implicit"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(listeners[i].tls, modes[i]);
            QVERIFY(listeners[i].address.startsWith(QStringLiteral("127.0.0.1:")));
            QVERIFY(port(*service, i) != 0);
            QCOMPARE(listeners[i].error, std::nullopt);
        }
    }

    // A busy port is reported; the others serve. Listening again once it is free picks it up,
    // and a session that was open goes on.
    void busyPortThenRebind() {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost, 0));
        SmtpOptions o = options();
        o.plainPort = blocker.serverPort();
        const auto service = start(o);
        QVERIFY(service->listeners()[0].error.has_value());
        QCOMPARE(service->listeners()[0].address,
                 QStringLiteral("127.0.0.1:%1").arg(blocker.serverPort()));

        Client open;
        QVERIFY(open.connect(port(*service, 1)));
        QVERIFY(open.reply().startsWith("220 "));

        blocker.close();
        service->listen(QHostAddress::LocalHost);
        QCOMPARE(service->listeners()[0].error, std::nullopt);
        Client plain;
        QVERIFY(plain.connect(port(*service, 0)));
        QVERIFY(plain.reply().startsWith("220 "));
        open.send("NOOP\r\n");
        QVERIFY(open.reply().startsWith("250 "));
    }

    // A session that makes no progress is closed, even when it trickles bytes.
    void idleAndTricklingSessionsTimeOut() {
        SmtpOptions o = options();
        o.idleTimeout = 300ms;
        const auto service = start(o);
        Client idle;
        QVERIFY(idle.connect(port(*service, 0)));
        Client trickling;
        QVERIFY(trickling.connect(port(*service, 0)));
        QTimer drip;
        QObject::connect(&drip, &QTimer::timeout, [&] { trickling.send("x"); });
        drip.start(50ms);
        QVERIFY(idle.reply().startsWith("220 "));
        QVERIFY(idle.reply().startsWith("421 4.4.2"));
        QVERIFY(idle.waitForDisconnect());
        QVERIFY(trickling.reply().startsWith("220 "));
        QVERIFY(trickling.reply().startsWith("421 4.4.2"));
        QVERIFY(m_log->tail().contains(QStringLiteral("no progress")));
    }

    // The delay after a failed AUTH holds back that client only.
    void failedAuthDoesNotDelayOthers() {
        SmtpOptions o = options();
        o.authFailureDelay = 3s;
        const auto service = start(o);
        Client guesser;
        QVERIFY(guesser.connect(port(*service, 0)));
        guesser.reply();
        guesser.send("EHLO a\r\n");
        guesser.reply();
        Client other;
        QVERIFY(other.connect(port(*service, 0)));
        other.reply();

        guesser.send(wrongAuth);
        other.send("NOOP\r\n");
        QVERIFY(other.reply().startsWith("250 "));
        QVERIFY(guesser.socket().bytesAvailable() == 0);
        QVERIFY(guesser.reply().startsWith("535 5.7.8"));
    }

    void acceptedMessageIsSignalledAndStored() {
        const auto service = start(options());
        QSignalSpy accepted(service.get(), &SmtpService::messageAccepted);
        Client client;
        QVERIFY(client.connect(port(*service, 0)));
        client.send("EHLO a\r\n" + authPlain +
                    "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\nHi\r\n.\r\n");
        for (const char* code : {"220", "250", "235", "250", "250", "354"})
            QVERIFY(client.reply().startsWith(code));
        const QByteArray done = client.reply();
        QVERIFY(done.startsWith("250 2.0.0"));
        QCOMPARE(accepted.size(), 1);
        const QString id = accepted[0][0].toString();
        QVERIFY(done.contains(id.toUtf8()));
        QCOMPARE(m_spool->read(id).content, QByteArray("Hi\r\n"));
    }

    void droppedConnectionLeavesNoPartialMessage() {
        const auto service = start(options());
        Client client;
        QVERIFY(client.connect(port(*service, 0)));
        client.send("EHLO a\r\n" + authPlain +
                    "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n" +
                    QByteArray(500, 'x') + "\r\n");
        for (const char* code : {"220", "250", "235", "250", "250", "354"})
            QVERIFY(client.reply().startsWith(code));
        QTRY_COMPARE(spoolFiles().size(), 1);
        client.socket().abort();
        QTRY_VERIFY(spoolFiles().isEmpty());
        QCOMPARE(m_spool->depth(), 0);
    }

    void tooManySessions() {
        SmtpOptions o = options();
        o.maxSessions = 2;
        const auto service = start(o);
        Client first, second, third;
        for (Client* client : {&first, &second, &third})
            QVERIFY(client->connect(port(*service, 0)));
        QVERIFY(first.reply().startsWith("220 "));
        QVERIFY(second.reply().startsWith("220 "));
        QVERIFY(third.reply().startsWith("421 4.3.2"));
        QVERIFY(third.waitForDisconnect());
        first.send("QUIT\r\n");
        QVERIFY(first.waitForDisconnect());
        // Once the server has let go of the first session, there is room again.
        QVERIFY(QTest::qWaitFor([&] {
            Client next;
            return next.connect(port(*service, 0)) && next.reply().startsWith("220 ");
        }));
    }
};

QTEST_GUILESS_MAIN(SmtpServiceTest)
#include "tst_SmtpService.moc"
