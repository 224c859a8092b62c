#include "FakeBrowser.h"
#include "OnboardingView.h"
#include "Symbols.h"
#include "TestModel.h"
#include "Widgets.h"

#include <QDialog>
#include <QPointer>

#include <algorithm>
#include <tuple>

using Transition = std::optional<OnboardingTransition>;

namespace {

ControlStatus signedIn(bool authenticated) {
    return statusWith([&](ControlStatus& s) { s.authenticated = authenticated; });
}

// The assistant in a dialog, over a model whose first poll is done and whose relay status the
// test then sets; zidire answers every later poll with `polled`.
struct Assistant : TestModel {
    QDialog host;
    OnboardingView* view = nullptr;

    explicit Assistant(std::optional<ControlStatus> status,
                       const ControlStatus& polled = signedIn(false))
        : TestModel(polled) {
        state->setControlStatus(std::move(status));
        state->setShowOnboarding(true);
        view = new OnboardingView(*state, &host);
        host.show();
    }
    bool completed() const {
        return Preferences(dir.filePath("preferences.ini")).onboardingCompleted();
    }

    bool received(const char* part) const {
        return std::ranges::any_of(zidire.requests(), [&](auto& r) { return r.contains(part); });
    }
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
        clickButton(a.view, "Continue");
        typeInto(a.view, "password", "secret");
        clickButton(a.view, "Continue");
        typeInto(a.view, "fromAddress", "scans@example.com");
        // A poll that changes nothing leaves the step, and the field being typed, in place.
        const QPointer<QLineEdit> field = a.view->findChild<QLineEdit*>("fromAddress");
        a.state->setControlStatus(signedIn(true));
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(field);
        QCOMPARE(a.view->step(), Step::signIn);
        clickButton(a.view, "Sign in with Microsoft…");
        QTRY_COMPARE(a.state->lastError(),
                     "Sign-in failed: the provider returned an error: access_denied");
        QTRY_VERIFY(
            a.received(R"("sender":{"from_address":"scans@example.com","provider":"m365"})"));
        clickButton(a.view, "Continue");
        QCOMPARE(a.view->step(), Step::done);
    }

    void onlyItsOwnButtonsCloseIt() {
        Assistant a(std::nullopt);
        QTRY_VERIFY(a.view->focusWidget());
        QTest::keyClick(a.view->focusWidget(), Qt::Key_Escape);
        QVERIFY(a.host.isVisible());
        clickButton(a.view, "Set Up Later");
        QCOMPARE(a.state->showOnboarding(), false);
        QTRY_VERIFY(a.completed());
    }
};

QTEST_MAIN(OnboardingViewTest)
#include "tst_OnboardingView.moc"
