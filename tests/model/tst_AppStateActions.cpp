#include "AppState.h"
#include "FakeAuthorizationServices.h"
#include "FakeBrowser.h"
#include "FakeProvider.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace std::chrono_literals;
using Action = std::function<void(AppState&)>;
using Operation = std::function<QCoro::Task<>(AppState&)>;
using Service = FakeServiceManager::Service;
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(FakeServiceManager::Service)

namespace {

const std::optional<QString> none;
const QString daemonCall = QStringLiteral("daemon net.brimlake.moxtrel.daemon.plist: ");

// Texts of none are written as null.
std::optional<QString> text(const char* value) {
    return value ? std::optional<QString>(QString::fromUtf8(value)) : none;
}

// A model whose first poll is done, with an older error and message on show.
struct Fixture {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::shared_ptr<FakeAuthorizationServices> authorization;
    std::unique_ptr<AppState> state;

    explicit Fixture(FakeAuthorizationServices::Script script = {})
        : authorization(std::make_shared<FakeAuthorizationServices>(std::move(script))) {
        zidire.setReply("GetStatus", {statusReplyJson(4)});
        state = std::make_unique<AppState>(AppState::Platform{services, authorization},
                                           ControlClient(zidire.socketPath(), 3),
                                           std::make_unique<Preferences>(preferencesPath()),
                                           AppState::Timing{std::chrono::hours(1), 6000ms});
        QSignalSpy firstPollDone(state.get(), &AppState::connectivityErrorChanged);
        firstPollDone.wait(5000);
        state->setLastError(QString("older failure"));
        state->setInfoMessage(QString("older message"));
    }
    QString preferencesPath() const { return dir.filePath("preferences.ini"); }
};

} // namespace

class AppStateActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void controlActionsReport_data() {
        QTest::addColumn<Action>("action");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("sent"); // a part of the request
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
        const struct {
            const char* name;
            const Action& action;
            const char *reply, *sent, *lastError, *infoMessage;
        } rows[] = {
            {"sender saved", sender, ok, R"("sender")", nullptr, older},
            {"sender refused", sender, refused, R"("sender")",
             "Couldn't save sender settings: not today", older},
            {"device account refused without reason", device, silent, "device_user",
             "Couldn't save the device account: zidire rejected the device account", older},
            {"listen host saved", host, ok, "listen_host", nullptr,
             "Listening address saved — the background service is restarting…"},
            {"listen host refused", host, refused, "listen_host",
             "Couldn't change the listening address: not today", nullptr},
            {"test sent, recipient as typed", test, ok, R"("to":" Me@Example.com")", nullptr,
             "Test email sent to  Me@Example.com."},
            {"test send failed", test, refused, "TestSend", "Test send failed: not today", nullptr},
            {"retry started", retry, ok, "RetryNow", nullptr, "Retrying queued messages…"},
            {"retry failed", retry, silent, "RetryNow",
             "Couldn't retry the queue: zidire couldn't retry the queue", nullptr},
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << row.action << QByteArray(row.reply) << QByteArray(row.sent)
                                    << text(row.lastError) << text(row.infoMessage);
    }
    // Every action sends its one request, reports through the messages and then refreshes.
    void controlActionsReport() {
        QFETCH(Action, action);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, sent);
        QFETCH(std::optional<QString>, lastError);
        QFETCH(std::optional<QString>, infoMessage);
        Fixture f;
        f.zidire.setDefaultReply({reply});
        QSignalSpy reported(f.state.get(), &AppState::lastErrorChanged);

        action(*f.state);
        QTRY_VERIFY_WITH_TIMEOUT(!reported.isEmpty(), 10000);
        QCOMPARE(f.state->lastError(), lastError);
        QCOMPARE(f.state->infoMessage(), infoMessage);
        QTRY_COMPARE_WITH_TIMEOUT(f.zidire.commands().size(), 3, 5000);
        QVERIFY2(f.zidire.requests()[1].contains(sent), f.zidire.requests()[1].constData());
        QCOMPARE(f.zidire.commands()[2], "GetStatus");
    }

    void daemonChangesReportAndRefresh_data() {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<Service>("daemon");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("lastError");
        const Operation install = [](AppState& s) { return s.installService(); };
        const Operation uninstall = [](AppState& s) { return s.uninstallService(); };
        const Operation start = [](AppState& s) { return s.startRegisteredDaemon(); };
        const auto row = [](const char* name, const Operation& operation, const Service& daemon,
                            const QString& call, const char* lastError) {
            QTest::newRow(name) << operation << daemon << call << QString(lastError);
        };
        const char* older = "older failure";
        row("install", install, {ServiceStatus::notRegistered}, daemonCall + "register", older);
        row("install refused", install, {ServiceStatus::notRegistered, "Access denied"},
            daemonCall + "register", "Couldn't install the background service: Access denied");
        row("uninstall", uninstall, {ServiceStatus::enabled}, daemonCall + "unregister", older);
        row("uninstall refused", uninstall, {ServiceStatus::enabled, {}, "Unit not loaded."},
            daemonCall + "unregister", "Couldn't remove the background service: Unit not loaded.");
        row("started at launch", start, {ServiceStatus::enabled}, "daemon: start registered",
            older);
        row("start refused", start, {ServiceStatus::enabled, "zidire is missing"},
            "daemon: start registered", "Couldn't start the background service: zidire is missing");
    }
    void daemonChangesReportAndRefresh() {
        QFETCH(Operation, operation);
        QFETCH(Service, daemon);
        QFETCH(QString, call);
        QFETCH(QString, lastError);
        Fixture f;
        f.services->setDaemon(daemon);
        QCoro::waitFor(operation(*f.state));
        QCOMPARE(f.state->lastError(), lastError);
        QTRY_COMPARE(f.services->calls(),
                     (QStringList{daemonCall + "status", call, daemonCall + "status"}));
    }

    void launchAtLoginChangesTheItemOnlyWhenNeeded_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<Service>("loginItem");
        QTest::addColumn<QString>("change"); // empty: none
        QTest::addColumn<std::optional<QString>>("lastError");
        const auto row = [](const char* name, bool enabled, const Service& loginItem,
                            const char* change, const char* lastError = nullptr) {
            QTest::newRow(name) << enabled << loginItem << QString(change) << text(lastError);
        };
        row("on, not yet", true, {ServiceStatus::notRegistered}, "mainApp: register");
        row("on, already", true, {ServiceStatus::enabled}, "");
        row("on, waiting for approval", true, {ServiceStatus::requiresApproval},
            "mainApp: register");
        row("off, on now", false, {ServiceStatus::enabled}, "mainApp: unregister");
        row("off, already", false, {ServiceStatus::notFound}, "");
        row("on, refused", true, {ServiceStatus::notRegistered, "read-only file system"},
            "mainApp: register", "Couldn't change \"Launch at login\": read-only file system");
    }
    void launchAtLoginChangesTheItemOnlyWhenNeeded() {
        QFETCH(bool, enabled);
        QFETCH(Service, loginItem);
        QFETCH(QString, change);
        QFETCH(std::optional<QString>, lastError);
        Fixture f;
        f.services->setMainApp(loginItem);
        QSignalSpy reported(f.state.get(), &AppState::lastErrorChanged);

        f.state->setLaunchAtLogin(enabled);
        // The choice is stored before anything else happens.
        QCOMPARE(f.state->launchAtLogin(), enabled);
        QCOMPARE(Preferences(f.preferencesPath()).launchAtLogin(), enabled);
        QTRY_VERIFY_WITH_TIMEOUT(!reported.isEmpty(), 10000);
        QCOMPARE(f.state->lastError(), lastError);
        QStringList calls{daemonCall + "status", "mainApp: status", change};
        calls.removeAll(QString());
        QCOMPARE(f.services->calls(), calls); // no refresh follows
    }

    // Each way it fails; the password shown is the device account view's to check.
    void revealDevicePasswordFails_data() {
        QTest::addColumn<OSStatus>("copyRights");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("lastError");
        const QByteArray granted = R"({"ok":true,"device_password":"s3cret"})";
        const QString prefix = "Couldn't show the device password: ";
        QTest::newRow("dialog canceled: silent")
            << errAuthorizationCanceled << granted << "older failure";
        QTest::newRow("denied") << errAuthorizationDenied << granted
                                << prefix + "authorization failed (OSStatus -60005)";
        QTest::newRow("zidire refuses")
            << errAuthorizationSuccess
            << QByteArray(R"({"ok":false,"error":"administrator authorization required"})")
            << prefix + "administrator authorization required";
        QTest::newRow("no password in the answer")
            << errAuthorizationSuccess << QByteArray(R"({"ok":true})")
            << prefix + "zidire returned no password";
    }
    void revealDevicePasswordFails() {
        QFETCH(OSStatus, copyRights);
        QFETCH(QByteArray, reply);
        QFETCH(QString, lastError);
        Fixture f({.copyRights = copyRights});
        f.zidire.setReply("GetDevicePassword", {reply});

        QCOMPARE(QCoro::waitFor(f.state->revealDevicePassword()), none);
        QCOMPARE(f.state->lastError(), lastError);
        // The authorization's own test has a real zidire check what the request carries.
        QCOMPARE(f.zidire.commands().contains("GetDevicePassword"),
                 copyRights == errAuthorizationSuccess);
    }

    void signIn_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QByteArray>("oauthRequest"); // empty: not checked
        QTest::addColumn<std::optional<QString>>("lastError");
        const auto row = [](const char* name, const char* provider, const char* failure,
                            const QStringList& commands, const char* oauthRequest,
                            const char* lastError) {
            QTest::newRow(name) << QString(provider) << QString(failure) << commands
                                << QByteArray(oauthRequest) << text(lastError);
        };
        const QStringList all{"GetStatus", "SetConfig", "SetCredentials", "GetStatus"};
        row("Microsoft: no secret, common tenant", "m365", "", all,
            R"({"command":"SetConfig","oauth":{"m365":{"client_id":"m365-client","client_secret":"","tenant_id":"common"}}})",
            nullptr);
        row("Google: the configured secret", "gmail", "", all,
            R"({"command":"SetConfig","oauth":{"gmail":{"client_id":"google-client","client_secret":"google-secret"}}})",
            nullptr);
        row("browser flow fails", "m365", "provider", {"GetStatus", "GetStatus"}, "",
            "Sign-in failed: the provider returned an error: access_denied");
        row("zidire rejects the client: no credentials sent", "m365", "oauth",
            {"GetStatus", "SetConfig", "GetStatus"}, "", "Sign-in failed: unknown tenant");
        row("zidire rejects the credentials", "m365", "credentials", all, "",
            "Sign-in failed: zidire rejected the credentials");
        row("no app for the provider", "yahoo", "", {"GetStatus"}, "",
            "Sign-in isn't available for yahoo yet.");
    }
    // `signingIn` covers the whole sign-in, and the credentials go to zidire with their client.
    void signIn() {
        QFETCH(QString, provider);
        QFETCH(QString, failure);
        QFETCH(QStringList, commands);
        QFETCH(QByteArray, oauthRequest);
        QFETCH(std::optional<QString>, lastError);
        Fixture f;
        // The provider's token endpoint answers with an ID token for me@example.com.
        FakeProvider tokens;
        tokens.queueReply(FakeProvider::Endpoint::token,
                          {.body = R"({"refresh_token":"rt-1","id_token":"eyJhbGciOiJub25lIn0.)"
                                   R"(eyJlbWFpbCI6Im1lQGV4YW1wbGUuY29tIn0.c2ln"})"});
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = failure == "provider" ? "error=access_denied&state={state}"
                                                       : "code=the-code&state={state}";
        f.state->setSignInSetup({[&](const QString& key) {
                                     auto app = OAuthProviderApp::forProvider(
                                         key, {"m365-client", "google-client", "google-secret"});
                                     if (app)
                                         app->tokenURL = QUrl(tokens.googleTokenUrl());
                                     return app;
                                 },
                                 OAuthFlow{10s, browser}});
        if (failure == "oauth")
            f.zidire.setReply("SetConfig", {R"({"ok":false,"error":"unknown tenant"})"});
        if (failure == "credentials")
            f.zidire.setReply("SetCredentials", {R"({"ok":false})"});
        QSignalSpy signingIn(f.state.get(), &AppState::signingInChanged);
        f.state->signIn(provider);
        const bool started = commands.size() > 1;
        QCOMPARE(f.state->signingIn(), started);
        QTRY_COMPARE_WITH_TIMEOUT(f.state->signingIn(), false, 10000);
        QCOMPARE(signingIn.size(), started ? 2 : 0);
        QCOMPARE(f.state->lastError(), lastError);
        QTRY_COMPARE(f.zidire.commands(), commands);
        if (!oauthRequest.isEmpty())
            QCOMPARE(f.zidire.requests()[1], oauthRequest);
        if (commands.contains("SetCredentials"))
            QCOMPARE(f.zidire.requests()[2],
                     R"({"command":"SetCredentials","email":"me@example.com","provider":")" +
                         provider.toUtf8() + R"(","refresh_token":"rt-1"})");
    }

    // The log window shows the reason in the log's place.
    void readLogReportsAFailureAsTheLog() {
        Fixture f;
        f.zidire.setReply("GetLog", {R"({"ok":false,"error":"no log yet"})"});
        QCOMPARE(QCoro::waitFor(f.state->readLog()), "Couldn't read the log: no log yet");
        QCOMPARE(f.state->lastError(), QString("older failure"));
    }
};

QTEST_GUILESS_MAIN(AppStateActionsTest)
#include "tst_AppStateActions.moc"
