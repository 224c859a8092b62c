#include "ControlClient.h"
#include "FakeZidire.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Operation = std::function<void(const ControlClient&)>;
Q_DECLARE_METATYPE(Operation)

namespace {

using namespace std::chrono_literals;

ControlClient clientFor(const FakeZidire& zidire, double timeout = 3.0) {
    return ControlClient(zidire.socketPath(), timeout);
}

// What a call raised, as "kind: description", or "ok".
QString outcomeOf(const std::function<void()>& call) {
    try {
        call();
        return QStringLiteral("ok");
    } catch (const ControlClientError& error) {
        return QString::number(int(error.kind())) + QStringLiteral(": ") + error.description();
    }
}

QString expected(ControlClientError::Kind kind, const QString& description) {
    return QString::number(int(kind)) + QStringLiteral(": ") + description;
}

// A socket file that nobody listens on any more: bound, then its descriptor closed.
void makeStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toUtf8();
    std::copy(bytes.begin(), bytes.end(), address.sun_path);
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    ::close(fd);
}

} // namespace

class ControlClientTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestBytes_data() {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QByteArray>("bytes");
        auto row = [](const char* name, Operation op, const char* json) {
            QTest::newRow(name) << op << QByteArray(json);
        };
        row(
            "status", [](auto& c) { c.status(); }, R"({"command":"GetStatus"})");
        row(
            "retryNow", [](auto& c) { c.retryNow(); }, R"({"command":"RetryNow"})");
        row(
            "fetchLog", [](auto& c) { c.fetchLog(); }, R"({"command":"GetLog"})");
        row(
            "updateSender", [](auto& c) { c.updateSender("gmail", "scan@example.com"); },
            R"({"command":"SetConfig","sender":{"from_address":"scan@example.com","provider":"gmail"}})");
        row(
            "setDeviceUser", [](auto& c) { c.setDeviceUser("copier", "secret"); },
            R"({"command":"SetConfig","device_user":{"password":"secret","username":"copier"}})");
        row(
            "setListenHost", [](auto& c) { c.setListenHost("0.0.0.0"); },
            R"({"command":"SetConfig","listen_host":"0.0.0.0"})");
        row(
            "updateOAuthClient",
            [](auto& c) {
                c.updateOAuthClient({.gmail = GoogleAppUpdate{"id", "sec"}});
            },
            R"({"command":"SetConfig","oauth":{"gmail":{"client_id":"id","client_secret":"sec"}}})");
        row(
            "setCredentials with email",
            [](auto& c) { c.setCredentials("m365", "tok", QString("me@example.com")); },
            R"({"command":"SetCredentials","email":"me@example.com","provider":"m365","refresh_token":"tok"})");
        row(
            "setCredentials without email",
            [](auto& c) { c.setCredentials("m365", "tok", std::nullopt); },
            R"({"command":"SetCredentials","provider":"m365","refresh_token":"tok"})");
        row(
            "testSend", [](auto& c) { c.testSend("to@example.com"); },
            R"({"command":"TestSend","to":"to@example.com"})");
    }
    void requestBytes() {
        QFETCH(Operation, operation);
        QFETCH(QByteArray, bytes);
        FakeZidire zidire;
        zidire.setDefaultReply(
            {encodeControlResponse({.ok = true, .status = sampleStatus(), .logTail = ""})});
        operation(clientFor(zidire));
        QCOMPARE(zidire.requests(), QList<QByteArray>{bytes});
    }

    void checkingRule_data() {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("outcome");
        const Operation status = [](auto& c) { c.status(); };
        const Operation fetchLog = [](auto& c) { c.fetchLog(); };
        const Operation retryNow = [](auto& c) { c.retryNow(); };
        const Operation setDeviceUser = [](auto& c) { c.setDeviceUser("u", "p"); };
        const auto server = [](const char* text) {
            return expected(ControlClientError::Kind::serverError, QString::fromUtf8(text));
        };
        QTest::newRow("retryNow needs only ok") << retryNow << QByteArray(R"({"ok":true})") << "ok";
        QTest::newRow("status needs its member")
            << status << QByteArray(R"({"ok":true})") << server("zidire returned no status");
        QTest::newRow("log needs its member")
            << fetchLog << QByteArray(R"({"ok":true})") << server("zidire returned no log");
        QTest::newRow("zidire's own reason when the member is missing")
            << status << QByteArray(R"({"ok":true,"error":"starting up"})")
            << server("starting up");
        QTest::newRow("fallback without error") << setDeviceUser << QByteArray(R"({"ok":false})")
                                                << server("zidire rejected the device account");
        QTest::newRow("zidire's text alone")
            << setDeviceUser << QByteArray(R"({"ok":false,"error":"username is empty"})")
            << server("username is empty");
        QTest::newRow("an empty error text is used unchanged")
            << retryNow << QByteArray(R"({"ok":false,"error":""})") << server("");
        QTest::newRow("other members ignored on success")
            << retryNow << QByteArray(R"({"ok":true,"error":"ignored","log_tail":"x"})") << "ok";
    }
    void checkingRule() {
        QFETCH(Operation, operation);
        QFETCH(QByteArray, reply);
        QFETCH(QString, outcome);
        FakeZidire zidire;
        zidire.setDefaultReply({reply});
        const ControlClient client = clientFor(zidire);
        QCOMPARE(outcomeOf([&] { operation(client); }), outcome);
    }

    void answerArrivingInPiecesIsReadWhole() {
        FakeZidire zidire;
        const QString log = QString(20000, u'é');
        zidire.setDefaultReply({encodeControlResponse({.ok = true, .logTail = log}),
                                FakeZidire::Mode::answerInPieces, 0ms, 333});
        QCOMPARE(clientFor(zidire).fetchLog(), log);
    }

    void undecodableAnswerRaisesTheDecoderError() {
        FakeZidire zidire;
        zidire.setDefaultReply({"<html>not json</html>"});
        QVERIFY_THROWS_EXCEPTION(ControlDecodingError, clientFor(zidire).retryNow());
        zidire.setDefaultReply({R"({"ok":true,"status":{"version":"v"}})"});
        QVERIFY_THROWS_EXCEPTION(ControlDecodingError, clientFor(zidire).status());
    }

    void connectionFailures_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome");
        using K = ControlClientError::Kind;
        QTest::newRow("no socket file") << "missing" << expected(K::notRunning, notRunningText());
        QTest::newRow("stale socket file") << "stale" << expected(K::notRunning, notRunningText());
        QTest::newRow("closed without an answer")
            << "close"
            << expected(K::emptyResponse, "zidire closed the connection with no response");
        QTest::newRow("path through a regular file")
            << "notdir"
            << expected(K::connectFailed, "could not connect to zidire: Not a directory");
    }
    void connectionFailures() {
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        QString path = dir.filePath("control.sock");
        std::optional<FakeZidire> zidire;
        if (setup == "stale") {
            makeStaleSocket(path);
        } else if (setup == "close") {
            zidire.emplace(path);
            zidire->setDefaultReply({{}, FakeZidire::Mode::closeWithoutAnswer});
        } else if (setup == "notdir") {
            QFile file(dir.filePath("file"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            path = dir.filePath("file/control.sock");
        }
        QCOMPARE(outcomeOf([&] { ControlClient(path, 3).retryNow(); }), outcome);
    }

    // The address field holds 104 bytes with the terminating zero on every supported system.
    void pathLengthLimit() {
        QTemporaryDir dir;
        const QString base = dir.path() + u'/';
        const QString socketPath = base + QString(103 - base.size() - 5, u'd') + "/sock";
        QCOMPARE(socketPath.toUtf8().size(), 103);
        QVERIFY(QDir().mkpath(QFileInfo(socketPath).path()));
        FakeZidire zidire(socketPath);
        QCOMPARE(outcomeOf([&] { ControlClient(socketPath, 3).retryNow(); }), "ok");
        QCOMPARE(
            outcomeOf([&] { ControlClient(socketPath + u'x', 3).retryNow(); }),
            expected(ControlClientError::Kind::pathTooLong, "control socket path is too long"));
    }

    // Runs the probe as an unprivileged user (root would bypass the file's permissions).
    void permissionDenied() {
        FakeZidire zidire;
        QVERIFY(QFile::setPermissions(zidire.socketPath(), QFileDevice::Permissions()));
        QProcess probe;
        probe.start(QStringLiteral(CONNECT_PROBE), {zidire.socketPath()});
        QVERIFY(probe.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(),
                 expected(ControlClientError::Kind::permissionDenied,
                          "zidire's control socket denied access (permission denied)"));
        QCOMPARE(zidire.connectionsServed(), 0);
    }

    // A time limit of 1.9 s is applied as whole seconds: the read gives up after 1 s.
    void receiveTimeLimitInWholeSeconds() {
        FakeZidire zidire;
        zidire.setDefaultReply({{}, FakeZidire::Mode::neverAnswer});
        QElapsedTimer elapsed;
        elapsed.start();
        const QString outcome = outcomeOf([&] { clientFor(zidire, 1.9).retryNow(); });
        QVERIFY2(outcome.startsWith(
                     expected(ControlClientError::Kind::ioFailed, "control socket I/O failed: ")),
                 qPrintable(outcome));
        QVERIFY2(elapsed.elapsed() >= 950 && elapsed.elapsed() < 1850,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

private:
    static QString notRunningText() {
        return QStringLiteral("zidire's control socket isn't answering — the background "
                              "service isn't running");
    }
};

QTEST_GUILESS_MAIN(ControlClientTest)
#include "tst_ControlClient.moc"
