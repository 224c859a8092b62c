#include "AccountSettingsView.h"
#include "AppState.h"
#include "DeviceAccountSettingsView.h"
#include "DotLabel.h"
#include "FakeAuthorizationServices.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"
#include "Screenshots.h"
#include "SettingsPresentation.h"
#include "SettingsView.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace std::chrono_literals;
Q_DECLARE_METATYPE(SignedInLabel)

namespace {

const QList<LocalIPv4Address> twoAddresses{{"eth0", "192.168.1.20"}, {"wlan0", "10.0.0.7"}};

ControlStatus statusWith(std::function<void(ControlStatus&)> change) {
    ControlStatus status = sampleStatus();
    change(status);
    return status;
}

// A model whose first poll found `status` (none: zidire not running).
struct Model {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeAuthorizationServices> authorization;
    std::unique_ptr<AppState> state;

    explicit Model(const std::optional<ControlStatus>& status,
                   FakeAuthorizationServices::Script script = {})
        : authorization(std::make_shared<FakeAuthorizationServices>(std::move(script))) {
        if (status)
            zidire.setReply("GetStatus", {encodeControlResponse({.ok = true, .status = status})});
        zidire.setReply("GetDevicePassword", {R"({"ok":true,"device_password":"stored pw"})"});
        state = std::make_unique<AppState>(
            AppState::Platform{std::make_shared<FakeServiceManager>(), authorization},
            ControlClient(status ? zidire.socketPath() : dir.filePath("none.sock"), 3),
            std::make_unique<Preferences>(dir.filePath("preferences.ini")),
            AppState::Timing{1h, 6000ms});
        QSignalSpy refreshed(state.get(), &AppState::connectivityErrorChanged);
        QVERIFY(refreshed.wait(5000));
    }
};

template <class T> T* find(QWidget* view, const QString& text) {
    for (T* widget : view->findChildren<T*>()) {
        if (widget->isVisibleTo(view) && widget->property("text").toString() == text)
            return widget;
    }
    return nullptr;
}

} // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signInPresentation_data() {
        QTest::addColumn<std::optional<ControlStatus>>("status");
        QTest::addColumn<SignedInLabel>("label");
        QTest::newRow("no status")
            << std::optional<ControlStatus>() << SignedInLabel{Tint::red, "No"};
        QTest::newRow("signed out")
            << std::optional(statusWith([](auto& s) { s.authenticated = false; }))
            << SignedInLabel{Tint::red, "No"};
        QTest::newRow("no address")
            << std::optional(sampleStatus()) << SignedInLabel{Tint::green, "Yes"};
        QTest::newRow("address") << std::optional(statusWith([](auto& s) {
            s.signedInEmail = "me@example.com";
        })) << SignedInLabel{Tint::green, "me@example.com", true};
    }
    void signInPresentation() {
        QFETCH(std::optional<ControlStatus>, status);
        QFETCH(SignedInLabel, label);
        QCOMPARE(signedInLabel(status), label);
        QCOMPARE(canSendTestEmail(status), label.tint == Tint::green);
    }

    void signInTexts() {
        QCOMPARE(signInButtonTitle(true, "gmail"), "Waiting for the browser…");
        QCOMPARE(signInButtonTitle(false, "gmail"), "Sign in with Google…");
        QCOMPARE(signInButtonTitle(false, "other"), "Sign in with Microsoft 365…");
        QCOMPARE(googleSignInCaption("m365", false), std::nullopt);
        QVERIFY(googleSignInCaption("gmail", false)->startsWith("Google sign-in is disabled"));
        QVERIFY(googleSignInCaption("gmail", true)->startsWith("Google's verification review"));
    }

    void listening_data() {
        QTest::addColumn<QList<LocalIPv4Address>>("addresses");
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("wildcard") << twoAddresses << "0.0.0.0"
                                  << QStringList{"All addresses", "192.168.1.20 (eth0)",
                                                 "10.0.0.7 (wlan0)"};
        QTest::newRow("one of them")
            << twoAddresses << "10.0.0.7"
            << QStringList{"All addresses", "192.168.1.20 (eth0)", "10.0.0.7 (wlan0)"};
        QTest::newRow("no longer here") << twoAddresses << "172.16.0.9"
                                        << QStringList{"All addresses", "192.168.1.20 (eth0)",
                                                       "10.0.0.7 (wlan0)", "172.16.0.9"};
    }
    void listening() {
        QFETCH(QList<LocalIPv4Address>, addresses);
        QFETCH(QString, configured);
        QFETCH(QStringList, options);
        QStringList titles;
        for (const ListenOption& option : listenOptions(addresses, configured))
            titles.append(option.title);
        QCOMPARE(titles, options);
    }

    void listenerRowsAndAddresses() {
        const ControlStatus status = statusWith([](auto& s) {
            s.listeners = {{"0.0.0.0:25", "none", std::nullopt},
                           {"10.0.0.7:587", "starttls", QString()},
                           {":465", "implicit", QString("address in use")}};
        });
        QCOMPARE(
            listenerRows(status, QString("192.168.1.20")),
            (QList<ListenerRow>{{"192.168.1.20:25", true, "No TLS", ""},
                                {"10.0.0.7:587", true, "STARTTLS", ""},
                                {"192.168.1.20:465", false, "Not listening", "address in use"}}));
        QCOMPARE(displayedListenerAddress("0.0.0.0:25", std::nullopt), "0.0.0.0:25");
        QCOMPARE(displayedListenerAddress("somewhere", QString("1.2.3.4")), "somewhere");
        QCOMPARE(listenHostOf("10.0.0.7:587"), "10.0.0.7");
        QCOMPARE(listenHostOf("10.0.0.7"), "10.0.0.7");
        QVERIFY(!listeningFooter({twoAddresses[0]}).contains("restarts"));
        QVERIFY(
            listeningFooter(twoAddresses)
                .endsWith(
                    " Changing the address restarts the background service for a few seconds."));
    }

    void accountTabFollowsTheModel() {
        Model m(statusWith([](auto& s) { s.provider = ""; }));
        m.state->setSignInSetup(
            {[](const QString& provider) {
                 return OAuthProviderApp::forProvider(provider, {"m365-id", "", ""});
             },
             OAuthFlow{}});
        AccountSettingsView view(*m.state);
        view.show();
        QCOMPARE(view.provider(), "m365"); // an empty provider leaves the choice alone
        auto* from = view.findChild<QLineEdit*>();
        QCOMPARE(from->text(), "scans@example.com");
        from->clear();
        QVERIFY(!find<QPushButton>(&view, "Save")->isEnabled());

        auto* picker = view.findChild<QComboBox*>();
        picker->setCurrentIndex(picker->findData("gmail"));
        QPushButton* signIn = find<QPushButton>(&view, "Sign in with Google…");
        QVERIFY(signIn);
        QVERIFY(!signIn->isEnabled());
        QVERIFY(find<QLabel>(&view, *googleSignInCaption("gmail", false)));
    }

    void listeningAddressChanges() {
        Model m(sampleStatus());
        DeviceAccountSettingsView view(
            *m.state, {[] { return twoAddresses; }, [] { return std::optional<QString>(); }});
        view.show();
        QTRY_VERIFY(view.findChild<QComboBox*>());
        auto* picker = view.findChild<QComboBox*>();
        const qsizetype requests = m.zidire.requests().size();
        picker->activated(picker->findData("0.0.0.0")); // the configured one
        QCoreApplication::processEvents();
        QCOMPARE(m.zidire.requests().size(), requests);

        picker = view.findChild<QComboBox*>();
        picker->activated(picker->findData("10.0.0.7"));
        QTRY_VERIFY(m.zidire.commands().contains("SetConfig"));
        QVERIFY(m.zidire.requests()[m.zidire.commands().indexOf("SetConfig")].contains(
            "\"listen_host\":\"10.0.0.7\""));
        QCOMPARE(view.configuredListenHost(), "10.0.0.7");
    }

    // Another window asks for a tab; the settings window takes it and hands the request back.
    void requestedTabAndTitle() {
        Model m(sampleStatus());
        SettingsView view(*m.state);
        view.resize(view.sizeHint());
        view.show();
        QCOMPARE(view.width(), 440);
        for (const auto& [tab, title] :
             {std::pair{SettingsTab::deviceAccount, "Device account"},
              std::pair{SettingsTab::sendingAccount, "Sending account"}}) {
            m.state->setRequestedSettingsTab(tab);
            QCOMPARE(view.selectedTab(), tab);
            QCOMPARE(m.state->requestedSettingsTab(), std::nullopt);
            QCOMPARE(view.windowTitle(), title);
            saveScreenshots(&view, QStringLiteral("settings-") + title);
        }
    }

    void devicePassword_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<OSStatus>("authorization");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("asked");
        QTest::newRow("typed: no authorization")
            << "typed pw" << errAuthorizationSuccess << true << "typed pw" << 0;
        QTest::newRow("stored: asked once")
            << "" << errAuthorizationSuccess << true << "stored pw" << 1;
        QTest::newRow("stored, canceled: stays hidden")
            << "" << errAuthorizationCanceled << false << "" << 1;
    }
    void devicePassword() {
        QFETCH(QString, typed);
        QFETCH(OSStatus, authorization);
        QFETCH(bool, shown);
        QFETCH(QString, password);
        QFETCH(int, asked);
        Model m(sampleStatus(), {.copyRights = authorization});
        DeviceAccountSettingsView view(*m.state, {[] { return QList<LocalIPv4Address>(); },
                                                  [] { return std::optional<QString>(); }});
        view.show();
        auto fields = view.findChildren<QLineEdit*>();
        QLineEdit* user = fields[0];
        QLineEdit* secret = fields[1];
        QCOMPARE(user->text(), "copier");
        auto* save = find<QPushButton>(&view, "Save device account");
        QVERIFY(!save->isEnabled()); // a stored password is no typed one
        secret->setText(typed);
        QCOMPARE(save->isEnabled(), !typed.isEmpty());

        auto* eye = view.findChild<QToolButton*>();
        QCOMPARE(eye->toolTip(), "Show password (administrator required)");
        eye->click();
        QTRY_COMPARE(m.authorization->referencesCreated(), asked);
        QTRY_VERIFY(eye->isEnabled());
        QCOMPARE(secret->echoMode() == QLineEdit::Normal, shown);
        QCOMPARE(secret->text(), password);
    }
};

QTEST_MAIN(SettingsViewTest)
#include "tst_SettingsView.moc"
