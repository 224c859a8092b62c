#include "AppState.h"
#include "FakeBrowser.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"
#include "OnboardingView.h"
#include "Symbols.h"

#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <tuple>

using namespace std::chrono_literals;
using Transition = std::optional<OnboardingTransition>;

namespace {

ControlStatus signedIn(bool authenticated) {
    ControlStatus status = sampleStatus();
    status.authenticated = authenticated;
    return status;
}

// The assistant in a dialog, over a model whose first poll is done and whose relay status the
// test then sets; zidire answers every later poll with `polled`.
struct Assistant {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::unique_ptr<AppState> state;
    QDialog host;
    OnboardingView* view = nullptr;

    explicit Assistant(std::optional<ControlStatus> status,
                       const ControlStatus& polled = signedIn(false)) {
        services->setDaemon({ServiceStatus::enabled});
        zidire.setReply("GetStatus", {encodeControlResponse({.ok = true, .status = polled})});
        state = std::make_unique<AppState>(
            AppState::Platform{services, nullptr}, ControlClient(zidire.socketPath(), 3),
            std::make_unique<Preferences>(dir.filePath("prefs.ini")), AppState::Timing{1h, 6s});
        QSignalSpy firstPoll(state.get(), &AppState::connectivityErrorChanged);
        firstPoll.wait(5000);
        state->setControlStatus(std::move(status));
        state->setShowOnboarding(true);
        view = new OnboardingView(*state, &host);
        host.show();
    }
    bool completed() const { return Preferences(dir.filePath("prefs.ini")).onboardingCompleted(); }

    QPushButton* button(const QString& title) const {
        for (QPushButton* button : view->findChildren<QPushButton*>())
            if (button->isVisible() && button->text() == title)
                return button;
        return nullptr;
    }
    // Waits for the rebuild that shows the button enabled.
    void click(const QString& title) {
        QTRY_VERIFY2(button(title) && button(title)->isEnabled(), qPrintable(title));
        button(title)->click();
    }
    void type(const char* field, const QString& text) {
        QTRY_VERIFY(view->findChild<QLineEdit*>(field));
        view->findChild<QLineEdit*>(field)->setText(text);
    }
    bool received(const char* part) const {
        return std::ranges::any_of(zidire.requests(), [&](auto& r) { return r.contains(part); });
    }
    Step step() const { return view->step(); }
};

} // namespace

class OnboardingViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyStepHasAnImageAndAFooter() {
        for (Step step : {Step::welcome, Step::service, Step::deviceAccount, Step::done})
            QVERIFY(hasSymbol(stepHeader(step).symbol) && !stepHeader(step).footer.isEmpty());
        // The sign-in step's footer is the provider's.
        QVERIFY(hasSymbol(stepHeader(Step::signIn).symbol) &&
                stepHeader(Step::signIn).footer.isEmpty());
    }

    void primaryButtonTitleAndEnabled() {
        const OnboardingFacts relay{.relayAnswering = true};
        const std::tuple<Step, OnboardingFacts, ButtonState> rows[] = {
            {Step::welcome, {}, {"Continue", true}},
            {Step::service, {}, {"Continue", false}},
            {Step::service, relay, {"Continue", true}},
            {Step::deviceAccount, {.username = "scanner", .password = "pw"}, {"Continue", true}},
            {Step::deviceAccount, {.password = "pw"}, {"Continue", false}},
            {Step::deviceAccount, {.username = "scanner"}, {"Continue", false}},
            {Step::signIn, relay, {"Continue", false}},
            {Step::signIn, {.relayAnswering = true, .authenticated = true}, {"Continue", true}},
            {Step::done, {}, {"Finish", true}},
        };
        for (const auto& [step, facts, expected] : rows)
            QVERIFY2(primaryButton(step, facts) == expected,
                     qPrintable(QString::number(int(step))));
    }

    void transitions() {
        using E = OnboardingEvent;
        using T = OnboardingTransition;
        constexpr auto close = OnboardingEffect::close;
        const std::tuple<Step, E, bool, Transition> rows[] = {
            {Step::welcome, E::primaryPressed, true, T{Step::deviceAccount}},
            {Step::welcome, E::primaryPressed, false, T{Step::service}},
            {Step::service, E::relayStartedAnswering, true, T{Step::deviceAccount}},
            {Step::service, E::primaryPressed, true, T{Step::deviceAccount}},
            {Step::deviceAccount, E::primaryPressed, true,
             T{Step::signIn, OnboardingEffect::saveDeviceAccount}},
            {Step::signIn, E::accountBecameAuthenticated, true, T{Step::done}},
            {Step::signIn, E::primaryPressed, true, T{Step::done}},
            {Step::done, E::primaryPressed, true, T{Step::done, close}},
            {Step::welcome, E::setUpLaterPressed, false, T{Step::welcome, close}},
            {Step::service, E::setUpLaterPressed, false, T{Step::service, close}},
            {Step::deviceAccount, E::setUpLaterPressed, true, T{Step::deviceAccount, close}},
            {Step::signIn, E::setUpLaterPressed, true, T{Step::signIn, close}},
            {Step::done, E::setUpLaterPressed, true, {}},
            // The relay's events mean something only on their own step.
            {Step::welcome, E::relayStartedAnswering, true, {}},
            {Step::service, E::accountBecameAuthenticated, true, {}},
        };
        for (const auto& [from, event, relayAnswering, expected] : rows)
            QVERIFY2(onboardingTransition(from, event, relayAnswering) == expected,
                     qPrintable(QString("%1 on %2").arg(int(event)).arg(int(from))));
    }

    void signInButtonAndFooterFollowTheProvider() {
        const QString f = "scans@example.com";
        const std::tuple<OnboardingFacts, ButtonState, const char*> rows[] = {
            {{}, {"Sign in with Microsoft…", false}, "Every scan"},
            {{.fromAddress = f}, {"Sign in with Microsoft…", true}, "Every scan"},
            {{.signingIn = true, .fromAddress = f}, {"Waiting for the browser…", false}, "Every"},
            {{.providerCanSignIn = false, .provider = "gmail", .fromAddress = f},
             {"Sign in with Google…", false},
             "Google sign-in is disabled"},
            {{.provider = "gmail", .fromAddress = f}, {"Sign in with Google…", true}, "Google's"},
        };
        for (const auto& [facts, expected, footerStart] : rows) {
            QCOMPARE(signInButton(facts), expected);
            QVERIFY(signInFooter(facts.provider, facts.providerCanSignIn).startsWith(footerStart));
        }
    }

    void serviceRowFollowsTheDaemon() {
        using A = ServiceRowAction;
        const std::tuple<ServiceStatus, bool, const char*, A> rows[] = {
            {ServiceStatus::notRegistered, false, "Not installed", A::install},
            {ServiceStatus::notFound, true, "Not installed", A::install},
            {ServiceStatus::requiresApproval, false, "Waiting for approval", A::openSystemSettings},
            {ServiceStatus::enabled, false, "Starting…", A::none},
            {ServiceStatus::enabled, true, "Running", A::none},
        };
        for (const auto& [daemon, relayAnswering, value, action] : rows) {
            QCOMPARE(serviceRow(daemon, relayAnswering).value.text, value);
            QCOMPARE(serviceRow(daemon, relayAnswering).action, action);
        }
    }

    void summaryNamesTheMacWithoutAnAddress() {
        QCOMPARE(summaryRows(std::nullopt, "scanner", "a@b").first().value,
                 "this Mac's IP address");
    }

    // The automatic advances fire on a change to true while their step is shown, and only then.
    void advancesOnlyWhenTheRelayChangesOnItsStep() {
        Assistant a(std::nullopt);
        a.state->setControlStatus(signedIn(false));
        QCOMPARE(a.step(), Step::welcome);
        a.state->setControlStatus(std::nullopt);
        a.click("Continue");
        a.state->setDaemonStatus(ServiceStatus::notFound);
        a.click("Install…");
        QTRY_VERIFY(
            a.services->calls().contains("daemon net.brimlake.moxtrel.daemon.plist: register"));
        a.state->setControlStatus(signedIn(false));
        QCOMPARE(a.step(), Step::deviceAccount);

        a.type("password", "secret");
        a.click("Continue");
        QCOMPARE(a.step(), Step::signIn); // not waiting for the save
        QTRY_VERIFY(a.received(R"("device_user":{"password":"secret","username":"scanner"})"));
        a.state->setControlStatus(signedIn(true));
        QCOMPARE(a.step(), Step::done);

        QTRY_VERIFY(a.button("Finish") && !a.button("Set Up Later"));
        a.click("Finish");
        QCOMPARE(a.state->showOnboarding(), false);
        QTRY_VERIFY(a.completed());
    }

    // Already signed in on arrival: the step waits for "Continue".
    void signInSavesTheSenderThenSignsIn() {
        Assistant a(signedIn(true), signedIn(true));
        // The provider declines at once in the browser.
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = "error=access_denied&state={state}";
        a.state->setSignInSetup({[](const QString& key) {
                                     return OAuthProviderApp::forProvider(key, {"id", "", ""});
                                 },
                                 OAuthFlow{std::chrono::seconds(10), browser}});
        a.click("Continue");
        a.type("password", "secret");
        a.click("Continue");
        a.type("fromAddress", "scans@example.com");
        // A poll that changes nothing leaves the step, and the field being typed, in place.
        const QPointer<QLineEdit> field = a.view->findChild<QLineEdit*>("fromAddress");
        a.state->setControlStatus(signedIn(true));
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(field);
        QCOMPARE(a.step(), Step::signIn);
        a.click("Sign in with Microsoft…");
        QTRY_COMPARE(a.state->lastError(),
                     "Sign-in failed: the provider returned an error: access_denied");
        QTRY_VERIFY(
            a.received(R"("sender":{"from_address":"scans@example.com","provider":"m365"})"));
        a.click("Continue");
        QCOMPARE(a.step(), Step::done);
    }

    void onlyItsOwnButtonsCloseIt() {
        Assistant a(std::nullopt);
        QTRY_VERIFY(a.view->focusWidget());
        QTest::keyClick(a.view->focusWidget(), Qt::Key_Escape);
        QVERIFY(a.host.isVisible());
        a.click("Set Up Later");
        QCOMPARE(a.state->showOnboarding(), false);
        QTRY_VERIFY(a.completed());
    }
};

QTEST_MAIN(OnboardingViewTest)
#include "tst_OnboardingView.moc"
