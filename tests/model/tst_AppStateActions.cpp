#include "AppState.h"
#include "FakeBrowser.h"
#include "FakeServiceManager.h"
#include "FakeTokenEndpoint.h"
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

QByteArray idTokenFor(const char* email) {
    const QByteArray payload = QByteArray("{\"email\":\"") + email + "\"}";
    return "eyJhbGciOiJub25lIn0." +
           payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) +
           ".c2ln";
}

// Sign-in against a token endpoint on loopback, with a browser that completes the redirect.
struct SignInFixture : Fixture {
    FakeTokenEndpoint tokenEndpoint;
    std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();

    SignInFixture() {
        browser->redirectQuery = "code=the-code&state={state}";
        tokenEndpoint.setReply({.body = "{\"refresh_token\":\"rt-1\",\"id_token\":\"" +
                                        idTokenFor("me@example.com") + "\"}"});
        state->setSignInSetup({[this](const QString& provider) -> std::optional<OAuthProviderApp> {
                                   const ClientRegistrations registrations{"m365-client", "", ""};
                                   std::optional<OAuthProviderApp> app =
                                       OAuthProviderApp::forProvider(provider, registrations);
                                   if (provider == "gmail")
                                       app = OAuthProviderApp::forProvider(
                                           provider,
                                           {"m365-client", "google-client", "google-secret"});
                                   if (app)
                                       app->tokenURL = tokenEndpoint.url();
                                   return app;
                               },
                               OAuthFlow{std::chrono::seconds(10), browser}});
    }

    // Runs a sign-in to its end, checking that `signingIn` covers all of it.
    void signIn(const QString& provider) {
        QSignalSpy signingIn(state.get(), &AppState::signingInChanged);
        state->signIn(provider);
        QCOMPARE(state->signingIn(), true);
        QTRY_COMPARE_WITH_TIMEOUT(state->signingIn(), false, 10000);
        QCOMPARE(signingIn.size(), 2);
    }
};

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
            R"({"command":"SetConfig","sender":{"from_address":"scan@example.com","provider":"m365"}})";
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

    void signInHandsTheCredentialsToZidire_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QByteArray>("oauthRequest");
        QTest::newRow("Microsoft: no secret, common tenant")
            << "m365"
            << QByteArray(
                   R"({"command":"SetConfig","oauth":{"m365":{"client_id":"m365-client","client_secret":"","tenant_id":"common"}}})");
        QTest::newRow("Google: the configured secret")
            << "gmail"
            << QByteArray(
                   R"({"command":"SetConfig","oauth":{"gmail":{"client_id":"google-client","client_secret":"google-secret"}}})");
    }
    void signInHandsTheCredentialsToZidire() {
        QFETCH(QString, provider);
        QFETCH(QByteArray, oauthRequest);
        SignInFixture f;
        f.signIn(provider);
        QCOMPARE(f.state->lastError(), none);
        QCOMPARE(f.state->infoMessage(), QString("older message"));
        QTRY_COMPARE(f.zidire.commands(),
                     (QStringList{"GetStatus", "SetConfig", "SetCredentials", "GetStatus"}));
        QCOMPARE(f.zidire.requests()[1], oauthRequest);
        const QByteArray credentials =
            "{\"command\":\"SetCredentials\",\"email\":\"me@example.com\",\"provider\":\"" +
            provider.toUtf8() + "\",\"refresh_token\":\"rt-1\"}";
        QCOMPARE(f.zidire.requests()[2], credentials);
    }

    void signInFailures_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("lastError");
        QTest::newRow("browser flow fails")
            << "provider" << QStringList{"GetStatus", "GetStatus"}
            << "Sign-in failed: the provider returned an error: access_denied";
        QTest::newRow("zidire rejects the client: no credentials sent")
            << "oauth" << QStringList{"GetStatus", "SetConfig", "GetStatus"}
            << "Sign-in failed: unknown tenant";
        QTest::newRow("zidire rejects the credentials")
            << "credentials" << QStringList{"GetStatus", "SetConfig", "SetCredentials", "GetStatus"}
            << "Sign-in failed: zidire rejected the credentials";
    }
    void signInFailures() {
        QFETCH(QString, failure);
        QFETCH(QStringList, commands);
        QFETCH(QString, lastError);
        SignInFixture f;
        if (failure == "provider")
            f.browser->redirectQuery = "error=access_denied&state={state}";
        if (failure == "oauth")
            f.zidire.setReply("SetConfig", {R"({"ok":false,"error":"unknown tenant"})"});
        if (failure == "credentials")
            f.zidire.setReply("SetCredentials", {R"({"ok":false})"});
        f.signIn("m365");
        QCOMPARE(f.state->lastError(), lastError);
        QTRY_COMPARE(f.zidire.commands(), commands);
    }

    void signInUnavailable() {
        SignInFixture f;
        QSignalSpy signingIn(f.state.get(), &AppState::signingInChanged);
        f.state->setSignInSetup(
            {[](const QString&) { return std::optional<OAuthProviderApp>(); }, OAuthFlow{}});
        f.state->signIn("gmail");
        QCOMPARE(f.state->lastError(), QString("Sign-in isn't available for gmail yet."));
        QCOMPARE(signingIn.size(), 0);
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
