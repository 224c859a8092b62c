#include "AppState.h"
#include "FakeAuthorizationServices.h"
#include "FakeBrowser.h"
#include "FakeProvider.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace std::chrono_literals;
using Action = std::function<void(AppState&)>;
using Service = FakeServiceManager::Service;
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(FakeServiceManager::Service)

namespace {

const std::optional<QString> none;
const QString daemonCall = QStringLiteral("daemon net.brimlake.moxtrel.daemon.plist: ");

// A model whose first poll is done, with an older error and message on show.
struct Fixture {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::shared_ptr<FakeAuthorizationServices> authorization;
    std::unique_ptr<AppState> state;

    explicit Fixture(QString socketPath = {}, FakeAuthorizationServices::Script script = {})
        : authorization(std::make_shared<FakeAuthorizationServices>(std::move(script))) {
        zidire.setReply("GetStatus", {statusReplyJson(4)});
        state = std::make_unique<AppState>(
            AppState::Platform{services, authorization},
            ControlClient(socketPath.isEmpty() ? zidire.socketPath() : socketPath, 3),
            std::make_unique<Preferences>(preferencesPath()),
            AppState::Timing{std::chrono::hours(1), 6000ms});
        QSignalSpy firstPollDone(state.get(), &AppState::connectivityErrorChanged);
        firstPollDone.wait(5000);
        state->setLastError(QString("older failure"));
        state->setInfoMessage(QString("older message"));
    }
    QString preferencesPath() const { return dir.filePath("preferences.ini"); }

    // Whether `operation` started a refresh: the model reads zidire's status once more.
    bool refreshes(const std::function<void()>& operation) {
        QSignalSpy read(state.get(), &AppState::controlStatusChanged);
        operation();
        return !read.isEmpty() || read.wait(5000);
    }
};

QByteArray idTokenFor(const char* email) {
    const QByteArray payload = QByteArray("{\"email\":\"") + email + "\"}";
    return "eyJhbGciOiJub25lIn0." +
           payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) +
           ".c2ln";
}

// Sign-in against the fake provider's token endpoint, with a browser that completes the redirect.
struct SignInFixture : Fixture {
    FakeProvider provider;
    std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();

    SignInFixture() {
        browser->redirectQuery = "code=the-code&state={state}";
        provider.queueReply(FakeProvider::Endpoint::token,
                            {.body = "{\"refresh_token\":\"rt-1\",\"id_token\":\"" +
                                     idTokenFor("me@example.com") + "\"}"});
        state->setSignInSetup({[this](const QString& key) -> std::optional<OAuthProviderApp> {
                                   std::optional<OAuthProviderApp> app =
                                       OAuthProviderApp::forProvider(
                                           key, {"m365-client", "google-client", "google-secret"});
                                   if (app)
                                       app->tokenURL = QUrl(provider.googleTokenUrl());
                                   return app;
                               },
                               OAuthFlow{std::chrono::seconds(10), browser}});
    }

    // Runs a sign-in to its end, checking that `signingIn` covers all of it.
    void signIn(const QString& key) {
        QSignalSpy signingIn(state.get(), &AppState::signingInChanged);
        state->signIn(key);
        QCOMPARE(state->signingIn(), true);
        QTRY_COMPARE_WITH_TIMEOUT(state->signingIn(), false, 10000);
        QCOMPARE(signingIn.size(), 2);
    }
};

} // namespace

class AppStateActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void controlActionsReport_data() {
        QTest::addColumn<Action>("action");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<std::optional<QString>>("lastError");
        QTest::addColumn<std::optional<QString>>("infoMessage");
        const char* ok = R"({"ok":true})";
        const char* refused = R"({"ok":false,"error":"not today"})";
        const char* silent = R"({"ok":false})";
        const char* older = "older message";
        const Action sender = [](AppState& s) { s.saveSender("m365", "scan@example.com"); };
        const Action device = [](AppState& s) { s.saveDeviceAccount("copier", "pw"); };
        const Action host = [](AppState& s) { s.saveListenHost("0.0.0.0"); };
        const Action test = [](AppState& s) { s.sendTestEmail(" Me@Example.com"); };
        const Action retry = [](AppState& s) { s.retryQueue(); };
        const char* senderRequest = R"({"command":"SetConfig","sender":)"
                                    R"({"from_address":"scan@example.com","provider":"m365"}})";
        const char* deviceRequest = R"({"command":"SetConfig","device_user":)"
                                    R"({"password":"pw","username":"copier"}})";
        const char* hostRequest = R"({"command":"SetConfig","listen_host":"0.0.0.0"})";
        const char* testRequest = R"({"command":"TestSend","to":" Me@Example.com"})";
        const char* retryRequest = R"({"command":"RetryNow"})";
        // Texts of none are written as null.
        const struct {
            const char* name;
            const Action& action;
            const char *reply, *request, *lastError, *infoMessage;
        } rows[] = {
            {"sender saved", sender, ok, senderRequest, nullptr, older},
            {"sender refused", sender, refused, senderRequest,
             "Couldn't save sender settings: not today", older},
            {"device account refused without reason", device, silent, deviceRequest,
             "Couldn't save the device account: zidire rejected the device account", older},
            {"listen host saved", host, ok, hostRequest, nullptr,
             "Listening address saved — the background service is restarting…"},
            {"listen host refused", host, refused, hostRequest,
             "Couldn't change the listening address: not today", nullptr},
            {"test sent, recipient as typed", test, ok, testRequest, nullptr,
             "Test email sent to  Me@Example.com."},
            {"test send failed", test, refused, testRequest, "Test send failed: not today",
             nullptr},
            {"retry started", retry, ok, retryRequest, nullptr, "Retrying queued messages…"},
            {"retry failed", retry, silent, retryRequest,
             "Couldn't retry the queue: zidire couldn't retry the queue", nullptr},
        };
        auto text = [](const char* value) {
            return value ? std::optional<QString>(QString::fromUtf8(value)) : none;
        };
        for (const auto& row : rows)
            QTest::newRow(row.name)
                << row.action << QByteArray(row.reply) << QByteArray(row.request)
                << text(row.lastError) << text(row.infoMessage);
    }
    // Every action sends its one request, reports through the messages and then refreshes.
    void controlActionsReport() {
        QFETCH(Action, action);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, request);
        QFETCH(std::optional<QString>, lastError);
        QFETCH(std::optional<QString>, infoMessage);
        Fixture f;
        f.zidire.setDefaultReply({reply});
        QSignalSpy reported(f.state.get(), &AppState::lastErrorChanged);

        action(*f.state);
        QTRY_VERIFY_WITH_TIMEOUT(!reported.isEmpty(), 10000);
        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.state->infoMessage(), infoMessage);
        QTRY_VERIFY_WITH_TIMEOUT(f.zidire.requests().size() >= 3, 5000);
        QCOMPARE(f.zidire.requests()[1], request);
        QCOMPARE(f.zidire.commands()[2], QString("GetStatus"));
    }

    // The confirmation of an earlier action must not stand beside a new one still running.
    void fireAndForgetClearsTheMessageAtOnce() {
        Fixture f;
        f.zidire.setDefaultReply({R"({"ok":true})", FakeZidire::Mode::answer, 200ms});
        f.state->sendTestEmail("a@example.com");
        QCOMPARE(f.state->infoMessage(), none);
        QCOMPARE(f.state->lastError(), QString("older failure"));
    }

    void daemonRegistrationReportsAndRefreshes_data() {
        QTest::addColumn<bool>("install");
        QTest::addColumn<Service>("service");
        QTest::addColumn<std::optional<QString>>("lastError");
        QTest::addColumn<ServiceStatus>("statusAfter");
        const std::optional<QString> older("older failure");
        QTest::newRow("install") << true << Service{ServiceStatus::notRegistered} << older
                                 << ServiceStatus::enabled;
        QTest::newRow("install refused")
            << true << Service{ServiceStatus::notRegistered, "Access denied"}
            << std::optional<QString>("Couldn't install the background service: Access denied")
            << ServiceStatus::notRegistered;
        QTest::newRow("uninstall")
            << false << Service{ServiceStatus::enabled} << older << ServiceStatus::notRegistered;
        QTest::newRow("uninstall refused")
            << false << Service{ServiceStatus::enabled, {}, "Unit not loaded."}
            << std::optional<QString>("Couldn't remove the background service: Unit not loaded.")
            << ServiceStatus::enabled;
    }
    void daemonRegistrationReportsAndRefreshes() {
        QFETCH(bool, install);
        QFETCH(Service, service);
        QFETCH(std::optional<QString>, lastError);
        QFETCH(ServiceStatus, statusAfter);
        Fixture f;
        f.services->setDaemon(service);

        QVERIFY(f.refreshes([&] {
            QCoro::waitFor(install ? f.state->installService() : f.state->uninstallService());
        }));

        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.state->daemonStatus(), statusAfter);
        QCOMPARE(
            f.services->calls(),
            (QStringList{daemonCall + "status", daemonCall + (install ? "register" : "unregister"),
                         daemonCall + "status"}));
    }

    void launchAtLoginChangesTheItemOnlyWhenNeeded_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<Service>("loginItem");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<std::optional<QString>>("lastError");
        const QString status = "mainApp: status";
        QTest::newRow("on, not yet") << true << Service{ServiceStatus::notRegistered}
                                     << QStringList{status, "mainApp: register"} << none;
        QTest::newRow("on, already")
            << true << Service{ServiceStatus::enabled} << QStringList{status} << none;
        QTest::newRow("on, waiting for approval")
            << true << Service{ServiceStatus::requiresApproval}
            << QStringList{status, "mainApp: register"} << none;
        QTest::newRow("off, on now") << false << Service{ServiceStatus::enabled}
                                     << QStringList{status, "mainApp: unregister"} << none;
        QTest::newRow("off, already")
            << false << Service{ServiceStatus::notFound} << QStringList{status} << none;
        QTest::newRow("on, refused")
            << true << Service{ServiceStatus::notRegistered, "read-only file system"}
            << QStringList{status, "mainApp: register"}
            << std::optional<QString>("Couldn't change \"Launch at login\": read-only file system");
    }
    void launchAtLoginChangesTheItemOnlyWhenNeeded() {
        QFETCH(bool, enabled);
        QFETCH(Service, loginItem);
        QFETCH(QStringList, calls);
        QFETCH(std::optional<QString>, lastError);
        Fixture f;
        f.services->setMainApp(loginItem);
        QSignalSpy reported(f.state.get(), &AppState::lastErrorChanged);

        f.state->setLaunchAtLogin(enabled);
        // The choice is stored before anything else happens, and kept whatever follows.
        QCOMPARE(f.state->launchAtLogin(), enabled);
        QCOMPARE(Preferences(f.preferencesPath()).launchAtLogin(), enabled);
        QTRY_VERIFY_WITH_TIMEOUT(!reported.isEmpty(), 10000);

        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.state->launchAtLogin(), enabled);
        QStringList loginItemCalls = f.services->calls();
        QCOMPARE(loginItemCalls.removeAll(daemonCall + "status"), 1); // no refresh follows
        QCOMPARE(loginItemCalls, calls);
    }

    void registeredDaemonStartsAtLaunch_data() {
        QTest::addColumn<std::optional<QString>>("refusal");
        QTest::addColumn<QString>("lastError");
        QTest::newRow("started") << none << "older failure";
        QTest::newRow("refused") << std::optional<QString>("zidire is missing")
                                 << "Couldn't start the background service: zidire is missing";
    }
    void registeredDaemonStartsAtLaunch() {
        QFETCH(std::optional<QString>, refusal);
        QFETCH(QString, lastError);
        Fixture f;
        f.services->setDaemon({ServiceStatus::enabled, refusal});
        QVERIFY(f.refreshes([&] { QCoro::waitFor(f.state->startRegisteredDaemon()); }));
        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.services->calls().mid(1, 2),
                 (QStringList{"daemon: start registered", daemonCall + "status"}));
    }

    void revealDevicePassword_data() {
        QTest::addColumn<OSStatus>("copyRights");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<std::optional<QString>>("password");
        QTest::addColumn<QString>("lastError");
        const QByteArray granted = R"({"ok":true,"device_password":"s3cret"})";
        QTest::newRow("granted") << errAuthorizationSuccess << granted
                                 << std::optional<QString>("s3cret") << "older failure";
        QTest::newRow("dialog canceled: silent")
            << errAuthorizationCanceled << granted << none << "older failure";
        QTest::newRow("denied")
            << errAuthorizationDenied << granted << none
            << "Couldn't show the device password: authorization failed (OSStatus -60005)";
        QTest::newRow("zidire refuses")
            << errAuthorizationSuccess
            << QByteArray(R"({"ok":false,"error":"administrator authorization required"})") << none
            << "Couldn't show the device password: administrator authorization required";
        QTest::newRow("no password in the answer")
            << errAuthorizationSuccess << QByteArray(R"({"ok":true})") << none
            << "Couldn't show the device password: zidire returned no password";
    }
    void revealDevicePassword() {
        QFETCH(OSStatus, copyRights);
        QFETCH(QByteArray, reply);
        QFETCH(std::optional<QString>, password);
        QFETCH(QString, lastError);
        Fixture f({}, {.copyRights = copyRights});
        f.zidire.setReply("GetDevicePassword", {reply});

        QCOMPARE(QCoro::waitFor(f.state->revealDevicePassword()), password);
        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.authorization->referencesFreed(), f.authorization->referencesCreated());
        const qsizetype sent = f.zidire.commands().indexOf("GetDevicePassword");
        QCOMPARE(sent >= 0, copyRights == errAuthorizationSuccess);
        if (sent >= 0) {
            const QJsonObject request = QJsonDocument::fromJson(f.zidire.requests()[sent]).object();
            QCOMPARE(QByteArray::fromBase64(request.value("authorization").toString().toLatin1()),
                     FakeAuthorizationServices::sampleExternalForm());
        }
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
        Fixture f;
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
