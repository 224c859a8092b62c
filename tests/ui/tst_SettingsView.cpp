#include "AccountSettingsView.h"
#include "DeviceAccountSettingsView.h"
#include "FakeAuthorizationServices.h"
#include "Screenshots.h"
#include "SettingsPresentation.h"
#include "SettingsView.h"
#include "TestModel.h"
#include "Widgets.h"

#include <QComboBox>
#include <QLabel>
#include <QToolButton>

namespace {

const QList<LocalIPv4Address> twoAddresses{{"eth0", "192.168.1.20"}, {"wlan0", "10.0.0.7"}};

} // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signInPresentation() {
        const std::pair<std::optional<ControlStatus>, SignedInLabel> rows[] = {
            {std::nullopt, {Tint::red, "No"}},
            {statusWith([](auto& s) { s.authenticated = false; }), {Tint::red, "No"}},
            {sampleStatus(), {Tint::green, "Yes"}},
            {statusWith([](auto& s) { s.signedInEmail = "me@example.com"; }),
             {Tint::green, "me@example.com", true}},
        };
        for (const auto& [status, label] : rows) {
            QVERIFY2(signedInLabel(status) == label, qPrintable(label.text));
            QCOMPARE(canSendTestEmail(status), label.tint == Tint::green);
        }
    }

    void signInTexts() {
        QCOMPARE(signInButtonTitle(true, "gmail"), "Waiting for the browser…");
        QCOMPARE(signInButtonTitle(false, "other"), "Sign in with Microsoft 365…");
        QCOMPARE(googleSignInCaption("m365", false), std::nullopt);
        QVERIFY(googleSignInCaption("gmail", false)->startsWith("Google sign-in is disabled"));
        QVERIFY(googleSignInCaption("gmail", true)->startsWith("Google's verification review"));
    }

    void listening() {
        const QStringList both{"All addresses", "192.168.1.20 (eth0)", "10.0.0.7 (wlan0)"};
        const std::pair<QString, QStringList> rows[] = {
            {"0.0.0.0", both},
            {"10.0.0.7", both},
            {"172.16.0.9", both + QStringList{"172.16.0.9"}}, // no longer on this machine
        };
        for (const auto& [configured, options] : rows) {
            QStringList titles;
            for (const ListenOption& option : listenOptions(twoAddresses, configured))
                titles.append(option.title);
            QCOMPARE(titles, options);
        }
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
        QCOMPARE(listenHostOf("10.0.0.7:587"), "10.0.0.7");
        QVERIFY(!listeningFooter({twoAddresses[0]}).contains("restarts"));
        QVERIFY(
            listeningFooter(twoAddresses)
                .endsWith(
                    " Changing the address restarts the background service for a few seconds."));
    }

    void accountTabFollowsTheModel() {
        TestModel m(statusWith([](auto& s) { s.provider = ""; }));
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
        QVERIFY(!visible<QPushButton>(&view, "Save")->isEnabled());

        auto* picker = view.findChild<QComboBox*>();
        picker->setCurrentIndex(picker->findData("gmail"));
        QPushButton* signIn = visible<QPushButton>(&view, "Sign in with Google…");
        QVERIFY(signIn);
        QVERIFY(!signIn->isEnabled());
        QVERIFY(visible<QLabel>(&view, *googleSignInCaption("gmail", false)));
    }

    void listeningAddressChanges() {
        TestModel m(sampleStatus());
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
        TestModel m(sampleStatus());
        SettingsView view(*m.state);
        view.resize(view.sizeHint());
        view.show();
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
        QTest::addColumn<QString>("password"); // shown after a click on the eye; empty: hidden
        QTest::newRow("typed") << "typed pw" << errAuthorizationSuccess << "typed pw";
        QTest::newRow("stored") << "" << errAuthorizationSuccess << "stored pw";
        QTest::newRow("stored, canceled") << "" << errAuthorizationCanceled << "";
    }
    void devicePassword() {
        QFETCH(QString, typed);
        QFETCH(OSStatus, authorization);
        QFETCH(QString, password);
        auto services = std::make_shared<FakeAuthorizationServices>(
            FakeAuthorizationServices::Script{.copyRights = authorization});
        TestModel m(sampleStatus(), ServiceStatus::enabled, {}, services);
        m.zidire.setReply("GetDevicePassword", {R"({"ok":true,"device_password":"stored pw"})"});
        DeviceAccountSettingsView view(*m.state, {[] { return QList<LocalIPv4Address>(); },
                                                  [] { return std::optional<QString>(); }});
        view.show();
        const auto fields = view.findChildren<QLineEdit*>();
        QCOMPARE(fields[0]->text(), "copier");
        QLineEdit* secret = fields[1];
        auto* save = visible<QPushButton>(&view, "Save device account");
        QVERIFY(!save->isEnabled()); // a stored password is no typed one
        secret->setText(typed);
        QCOMPARE(save->isEnabled(), !typed.isEmpty());

        auto* eye = view.findChild<QToolButton*>();
        QCOMPARE(eye->toolTip(), "Show password (administrator required)");
        eye->click();
        // Only a stored password needs an administrator, once.
        QTRY_COMPARE(services->referencesCreated(), typed.isEmpty() ? 1 : 0);
        QTRY_VERIFY(eye->isEnabled());
        QCOMPARE(secret->echoMode() == QLineEdit::Normal, !password.isEmpty());
        QCOMPARE(secret->text(), password);
    }
};

QTEST_MAIN(SettingsViewTest)
#include "tst_SettingsView.moc"
