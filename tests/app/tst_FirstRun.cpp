// A new user's first run, the whole product at once: the assistant installs a real zidire as the
// user, saves the copiers' login, signs in at a provider on loopback, and a copier's scan then
// reaches that provider.

#include "AppState.h"
#include "BackgroundWork.h"
#include "FakeBrowser.h"
#include "FakeProvider.h"
#include "LocalRelay.h"
#include "OnboardingView.h"
#include "PlatformBackend.h"
#include "Screenshots.h"
#include "SmtpSubmission.h"
#include "StatusView.h"
#include "Widgets.h"

#include <QLabel>

using namespace std::chrono_literals;

class FirstRunTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void newUserReachesAWorkingRelay() {
        FakeProvider provider;
        LocalRelay relay;
        const QByteArray base = provider.baseUrl().toUtf8();
        relay.writeSettings(R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":")" + base +
                            R"(","ZIDIRE_GRAPH_BASE":")" + base + R"("})");

        AppState state({std::make_shared<LocalServiceManager>(relay.setup(), relay.loginItem()),
                        makeAuthorizationServices(PlatformBackend::local)},
                       relay.client(),
                       std::make_unique<Preferences>(relay.path(QStringLiteral("prefs.ini"))),
                       AppState::Timing{200ms, 6s});
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = QStringLiteral("code=granted&state={state}");
        state.setSignInSetup({.providerApp =
                                  [&](const QString& key) {
                                      auto app = OAuthProviderApp::forProvider(
                                          key, {QStringLiteral("moxtrel"), {}, {}});
                                      app->tokenURL = provider.baseUrl() + "/common/token";
                                      return app;
                                  },
                              .flow = {.browser = browser}});
        provider.queueReply(FakeProvider::Endpoint::token,
                            FakeProvider::tokenReply("access-0", 3600, "refresh-granted"));

        StatusView window(state);
        window.show();
        QTRY_VERIFY(window.onboardingSheet() && window.onboardingSheet()->isVisible());
        const auto* assistant = window.onboardingSheet()->findChild<OnboardingView*>();
        QVERIFY(assistant);
        // Each step as the person sees it, for the README and the AppStream metadata.
        const auto capture = [&](const QString& step) {
            saveScreenshots(window.onboardingSheet(), QStringLiteral("onboarding-") + step);
        };
        capture(QStringLiteral("welcome"));
        clickButton(assistant, QStringLiteral("Continue"));
        capture(QStringLiteral("service"));
        clickButton(assistant, QStringLiteral("Install…"));
        // The first start makes zidire's certificates, which takes a while under sanitizers.
        QTRY_COMPARE_WITH_TIMEOUT(assistant->step(), Step::deviceAccount, 60000);
        typeInto(assistant, "username", QStringLiteral("copier"));
        typeInto(assistant, "password", QStringLiteral("scan-secret"));
        capture(QStringLiteral("device-login"));
        clickButton(assistant, QStringLiteral("Continue"));
        QCOMPARE(assistant->step(), Step::signIn);
        typeInto(assistant, "fromAddress", QStringLiteral("scans@example.com"));
        capture(QStringLiteral("sign-in"));
        clickButton(assistant, QStringLiteral("Sign in with Microsoft…"));
        QTRY_COMPARE_WITH_TIMEOUT(assistant->step(), Step::done, 20000);
        // The last step can only be finished.
        QTRY_VERIFY(visible<QPushButton>(assistant, QStringLiteral("Finish")) &&
                    !visible<QPushButton>(assistant, QStringLiteral("Set Up Later")));
        capture(QStringLiteral("done"));
        clickButton(assistant, QStringLiteral("Finish"));

        QTRY_VERIFY(!window.onboardingSheet() || !window.onboardingSheet()->isVisible());
        QVERIFY(Preferences(relay.path(QStringLiteral("prefs.ini"))).onboardingCompleted());
        const ControlStatus status = relay.client().status();
        QCOMPARE(status.deviceUsername, "copier");
        QCOMPARE(status.fromAddress, "scans@example.com");
        QVERIFY(status.authenticated);
        QTRY_VERIFY(visible<QLabel>(&window, QStringLiteral("Relay is running")));

        SmtpSubmission copier(relay.smtpPorts()[0], "copier", "scan-secret");
        QCOMPARE(copier
                     .send("MAIL FROM:<copier@office>", {"someone@example.com"},
                           "Subject: Scan\r\n\r\nA scanned page.\r\n")
                     .left(3),
                 "250");
        QTRY_COMPARE_WITH_TIMEOUT(provider.requestCount(FakeProvider::Endpoint::graph), 1, 20000);
        const QByteArray sent = QByteArray::fromBase64(
            provider.requests(FakeProvider::Endpoint::graph).constFirst().body);
        QVERIFY(sent.contains("A scanned page."));
    }

    // The model polls every 200 ms, so a refresh may be on its way when it goes: its work is let
    // finish and its coroutine resume (finding no model) rather than be left suspended for good.
    void cleanup() {
        backgroundPool(BackgroundPriority::utility).waitForDone();
        QCoreApplication::sendPostedEvents();
    }
};

QTEST_MAIN(FirstRunTest)
#include "tst_FirstRun.moc"
