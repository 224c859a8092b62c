#include "ControlClient.h"
#include "FakeZidire.h"
#include "RelayPaths.h"

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
    void checkingRule_data() {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("outcome");
        const Operation status = [](auto& c) { c.status(); };
        const Operation fetchLog = [](auto& c) { c.fetchLog(); };
        const Operation retryNow = [](auto& c) { c.retryNow(); };
        // The outcome is a server error with `text`, or success without one.
        const auto row = [](const char* name, const Operation& operation, const QByteArray& reply,
                            const char* text) {
            QTest::newRow(name) << operation << reply
                                << (text ? expected(ControlClientError::Kind::serverError, text)
                                         : QStringLiteral("ok"));
        };
        row("status needs its member", status, R"({"ok":true})", "zidire returned no status");
        row("log needs its member", fetchLog, R"({"ok":true})", "zidire returned no log");
        row("zidire's own reason when the member is missing", status,
            R"({"ok":true,"error":"starting up"})", "starting up");
        row("an empty error text is used unchanged", retryNow, R"({"ok":false,"error":""})", "");
        row("other members ignored on success", retryNow,
            R"({"ok":true,"error":"ignored","log_tail":"x"})", nullptr);
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

    void connectionFailures_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome");
        using K = ControlClientError::Kind;
        const auto row = [](const char* name, const char* setup, K kind, const QString& text) {
            QTest::newRow(name) << QString(setup) << expected(kind, text);
        };
        row("stale socket file", "stale", K::notRunning,
            "zidire's control socket isn't answering — the background service isn't running");
        row("closed without an answer", "close", K::emptyResponse,
            "zidire closed the connection with no response");
        row("path through a regular file", "notdir", K::connectFailed,
            "could not connect to zidire: Not a directory");
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
    }

    void timeLimits() {
        FakeZidire zidire;
        // A test send may take far longer than the client's own limit.
        zidire.setDefaultReply({R"({"ok":true})", FakeZidire::Mode::answer, 1500ms});
        QCOMPARE(outcomeOf([&] { clientFor(zidire, 1.0).testSend("a@example.com"); }), "ok");

        // The socket options take whole seconds: 1.9 s reads as 1 s.
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

    // The user's relay and the override are where the local relay's and the application's own
    // tests find them.
    void systemControlSocket() {
        QCOMPARE(RelayPaths::controlSocket(RelayMode::system),
                 "/Library/Application Support/Moxtrel/control.sock");
    }
};

QTEST_GUILESS_MAIN(ControlClientTest)
#include "tst_ControlClient.moc"
