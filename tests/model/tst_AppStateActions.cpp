#include "AppState.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace std::chrono_literals;
using Action = std::function<void(AppState&)>;
Q_DECLARE_METATYPE(Action)

namespace {

struct Fixture {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::unique_ptr<AppState> state;

    explicit Fixture(QString socketPath = {}) {
        if (socketPath.isEmpty())
            socketPath = zidire.socketPath();
        state = std::make_unique<AppState>(
            std::make_shared<FakeServiceManager>(), ControlClient(socketPath, 3),
            std::make_unique<Preferences>(dir.filePath("preferences.ini")),
            AppState::Timing{std::chrono::hours(1), 6000ms});
        QSignalSpy firstPollDone(state.get(), &AppState::connectivityErrorChanged);
        firstPollDone.wait(5000);
        state->setLastError(QString("older failure"));
        state->setInfoMessage(QString("older message"));
    }
};

const std::optional<QString> none;

} // namespace

class AppStateActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reportsOutcome_data() {
        QTest::addColumn<Action>("action");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<std::optional<QString>>("lastError");
        QTest::addColumn<std::optional<QString>>("infoMessage");
        const QByteArray ok = R"({"ok":true})";
        const QByteArray refused = R"({"ok":false,"error":"not today"})";
        const QByteArray silent = R"({"ok":false})";
        const Action saveSender = [](AppState& s) { s.saveSender("m365", "scan@example.com"); };
        const Action saveDevice = [](AppState& s) { s.saveDeviceAccount("copier", "pw"); };
        const Action listenHost = [](AppState& s) { s.saveListenHost("0.0.0.0"); };
        const Action testSend = [](AppState& s) { s.sendTestEmail(" Me@Example.com"); };
        const Action retry = [](AppState& s) { s.retryQueue(); };
        const QByteArray senderRequest =
            R"({"command":"SetConfig","sender":)"
            R"({"from_address":"scan@example.com","provider":"m365"}})";
        const QString older = "older message";

        QTest::newRow("sender saved")
            << saveSender << ok << senderRequest << none << std::optional(older);
        QTest::newRow("sender refused")
            << saveSender << refused << senderRequest
            << std::optional<QString>("Couldn't save sender settings: not today")
            << std::optional(older);
        QTest::newRow("device account refused without reason")
            << saveDevice << silent
            << QByteArray(
                   R"({"command":"SetConfig","device_user":{"password":"pw","username":"copier"}})")
            << std::optional<QString>(
                   "Couldn't save the device account: zidire rejected the device account")
            << std::optional(older);
        QTest::newRow("listen host saved")
            << listenHost << ok << QByteArray(R"({"command":"SetConfig","listen_host":"0.0.0.0"})")
            << none
            << std::optional<QString>(
                   "Listening address saved — the background service is restarting…");
        QTest::newRow("listen host refused")
            << listenHost << refused
            << QByteArray(R"({"command":"SetConfig","listen_host":"0.0.0.0"})")
            << std::optional<QString>("Couldn't change the listening address: not today") << none;
        QTest::newRow("test sent, recipient as typed")
            << testSend << ok << QByteArray(R"({"command":"TestSend","to":" Me@Example.com"})")
            << none << std::optional<QString>("Test email sent to  Me@Example.com.");
        QTest::newRow("test send failed")
            << testSend << refused << QByteArray(R"({"command":"TestSend","to":" Me@Example.com"})")
            << std::optional<QString>("Test send failed: not today") << none;
        QTest::newRow("retry started")
            << retry << ok << QByteArray(R"({"command":"RetryNow"})") << none
            << std::optional<QString>("Retrying queued messages…");
        QTest::newRow("retry failed")
            << retry << silent << QByteArray(R"({"command":"RetryNow"})")
            << std::optional<QString>("Couldn't retry the queue: zidire couldn't retry the queue")
            << none;
    }
    // Every action sends its one request, reports through the messages and then refreshes.
    void reportsOutcome() {
        QFETCH(Action, action);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, request);
        QFETCH(std::optional<QString>, lastError);
        QFETCH(std::optional<QString>, infoMessage);
        Fixture f;
        f.zidire.setDefaultReply({reply});
        f.zidire.setReply("GetStatus", {statusReplyJson(4)});
        QSignalSpy reported(f.state.get(), &AppState::lastErrorChanged);

        action(*f.state);
        QVERIFY(reported.wait(5000));
        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.state->infoMessage(), infoMessage);
        QTRY_VERIFY_WITH_TIMEOUT(f.zidire.requests().size() >= 3, 5000);
        QCOMPARE(f.zidire.requests()[1], request);
        QCOMPARE(f.zidire.commands()[2], QString("GetStatus"));
        QTRY_COMPARE(f.state->controlStatus(), sampleStatus(4));
    }

    // The confirmation of an earlier action must not stand beside a new one still running.
    void fireAndForgetClearsTheMessageAtOnce() {
        Fixture f;
        f.zidire.setDefaultReply({R"({"ok":true})", FakeZidire::Mode::answer, 200ms});
        f.state->sendTestEmail("a@example.com");
        QCOMPARE(f.state->infoMessage(), none);
        QCOMPARE(f.state->lastError(), QString("older failure"));
    }

    void readLog_data() {
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("text");
        QTest::newRow("running") << true << "line one\nline two\n";
        QTest::newRow("stopped") << false
                                 << "Couldn't read the log: zidire's control socket isn't "
                                    "answering — the background service isn't running";
    }
    void readLog() {
        QFETCH(bool, running);
        QFETCH(QString, text);
        QTemporaryDir elsewhere;
        Fixture f(running ? QString() : elsewhere.filePath("none.sock"));
        f.zidire.setReply("GetLog", {R"({"ok":true,"log_tail":"line one\nline two\n"})"});
        QCOMPARE(QCoro::waitFor(f.state->readLog()), text);
        QCOMPARE(f.state->lastError(), QString("older failure"));
        QCOMPARE(f.state->infoMessage(), QString("older message"));
    }
};

QTEST_GUILESS_MAIN(AppStateActionsTest)
#include "tst_AppStateActions.moc"
