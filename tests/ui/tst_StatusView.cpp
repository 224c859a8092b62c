#include "AppState.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"
#include "HeroCard.h"
#include "Screenshots.h"
#include "StatusView.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace std::chrono_literals;

namespace {

// A status window over a model whose first poll has found what the test set up.
struct Window {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::unique_ptr<AppState> state;
    std::unique_ptr<StatusView> view;

    Window(ServiceStatus daemon, const std::optional<ControlStatus>& status,
           const QByteArray& otherReply = {}) {
        services->setDaemon({daemon});
        if (status)
            zidire.setReply("GetStatus", {encodeControlResponse({.ok = true, .status = status})});
        else if (!otherReply.isEmpty())
            zidire.setDefaultReply({otherReply});
        const QString socket =
            status || !otherReply.isEmpty() ? zidire.socketPath() : dir.filePath("stopped.sock");
        auto preferences = std::make_unique<Preferences>(dir.filePath("preferences.ini"));
        preferences->setOnboardingCompleted(true);
        state = std::make_unique<AppState>(AppState::Platform{services, nullptr},
                                           ControlClient(socket, 3), std::move(preferences),
                                           AppState::Timing{1h, 6000ms});
        // Each refresh ends with the connectivity error: the model's first, the window's on show.
        QSignalSpy refreshed(state.get(), &AppState::connectivityErrorChanged);
        view = std::make_unique<StatusView>(*state);
        view->show();
        QTRY_VERIFY_WITH_TIMEOUT(refreshed.size() >= 2, 5000);
        QCoreApplication::processEvents(); // the rebuild that follows
    }

    QStringList texts() const {
        QStringList texts;
        for (const QLabel* label : view->findChildren<QLabel*>()) {
            if (label->isVisible() && !label->text().isEmpty())
                texts.append(label->text());
        }
        for (const HeroCard* card : view->findChildren<HeroCard*>()) {
            if (card->isVisible())
                texts << card->content().subtitle << card->shownSubtitle();
        }
        return texts;
    }
    QPushButton* button(const QString& text) const {
        for (QPushButton* button : view->findChildren<QPushButton*>()) {
            if (button->isVisible() && button->text() == text)
                return button;
        }
        return nullptr;
    }
    QStringList buttons() const {
        QStringList titles;
        for (const QPushButton* button : view->findChildren<QPushButton*>()) {
            if (button->isVisible())
                titles.append(button->text() + (button->isEnabled() ? "" : " (disabled)"));
        }
        return titles;
    }
};

ControlStatus statusWith(std::function<void(ControlStatus&)> change) {
    ControlStatus status = sampleStatus();
    change(status);
    return status;
}

} // namespace

class StatusViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsThePhase_data() {
        QTest::addColumn<ServiceStatus>("daemon");
        QTest::addColumn<std::optional<ControlStatus>>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("buttons");
        const std::optional<ControlStatus> none;
        QTest::newRow("enabled, relay silent")
            << ServiceStatus::enabled << none << QByteArray()
            << QStringList{"Relay not reachable", "The background service isn't running yet.",
                           "Relay not reachable — the background service isn't running yet."}
            << QStringList{"View log", "Uninstall", "Install (disabled)"};
        QTest::newRow("enabled, relay answers garbage")
            << ServiceStatus::enabled << none << QByteArray("x")
            << QStringList{"Relay not reachable", "The background service isn't answering.",
                           "Relay not reachable — the background service isn't running yet.",
                           "Can't reach zidire: couldn't read the response: not valid JSON "
                           "(illegal value at byte 1)"}
            << QStringList{"View log", "Uninstall", "Install (disabled)"};
        QTest::newRow("not found, relay still answers")
            << ServiceStatus::notFound << std::optional(sampleStatus(2)) << QByteArray()
            << QStringList{"Service not installed",
                           "Provider",
                           "Microsoft 365",
                           "Signed in",
                           "Yes",
                           "Queued messages",
                           "2",
                           "zidire version",
                           "test"}
            << QStringList{"View log", "Install"};
        QTest::newRow("sign-in needed")
            << ServiceStatus::enabled
            << std::optional(statusWith([](auto& s) { s.authenticated = false; })) << QByteArray()
            << QStringList{"Sign-in needed", "Background service", "Running", "Signed in", "No"}
            << QStringList{"View log", "Reconnect"};
        QTest::newRow("awaiting approval")
            << ServiceStatus::requiresApproval << none << QByteArray()
            << QStringList{"Waiting for approval",
                           "Allow Moxtrel in System Settings › Login Items."}
            << QStringList{"View log", "Open System Settings"};
        QTest::newRow("sender not set")
            << ServiceStatus::enabled << std::optional(statusWith([](auto& s) { s.provider = ""; }))
            << QByteArray()
            << QStringList{"Set up your sender", "Choose a provider and sign in (⌘,)."}
            << QStringList{"View log", "Open Settings…"};
        QTest::newRow("send failed")
            << ServiceStatus::enabled << std::optional(statusWith([](auto& s) {
                   s.lastError = "Graph refused the message: mailbox full";
                   s.lastErrorAgeSeconds = 300;
                   s.spoolDepth = 2;
               }))
            << QByteArray()
            << QStringList{"Last send failed", "Graph refused the message: mailbox full 2 waiting.",
                           "Last error"}
            << QStringList{"View log", "Retry now"};
        QTest::newRow("running") << ServiceStatus::enabled << std::optional(sampleStatus())
                                 << QByteArray()
                                 << QStringList{"Relay is running", "scans@example.com"}
                                 << QStringList{"View log", "Send test email…"};
    }
    void showsThePhase() {
        QFETCH(ServiceStatus, daemon);
        QFETCH(std::optional<ControlStatus>, status);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, buttons);
        Window w(daemon, status, reply);
        const QStringList texts = w.texts();
        for (const QString& text : shown)
            QVERIFY2(texts.contains(text), qPrintable(text + " not in: " + texts.join(" | ")));
        QCOMPARE(w.buttons(), buttons);
        QCOMPARE(w.view->width(), 420);
        saveScreenshots(w.view.get(), QStringLiteral("status-") + QTest::currentDataTag());
    }

    void reconnectWaitsForTheSignInAndWidthStaysFixed() {
        Window w(ServiceStatus::enabled, statusWith([](auto& s) {
                     s.authenticated = false;
                     s.provider = "gmail";
                 }));
        w.state->setSigningIn(true);
        w.state->setLastError(QString(2000, u'x'));
        QTRY_COMPARE(w.buttons(), (QStringList{"View log", "Reconnect (disabled)"}));
        QCOMPARE(w.view->width(), 420);
    }

    void dismissRemovesOnlyTheActionError() {
        Window w(ServiceStatus::enabled, sampleStatus());
        w.state->setInfoMessage(QString("Saved."));
        w.state->setLastError(QString("Couldn't save sender settings: no"));
        QTRY_VERIFY(w.texts().contains("Couldn't save sender settings: no"));
        auto* dismiss = w.view->findChild<QToolButton*>();
        QVERIFY(dismiss);
        QCOMPARE(dismiss->toolTip(), "Dismiss");
        dismiss->click();
        QTRY_VERIFY(!w.texts().contains("Couldn't save sender settings: no"));
        QCOMPARE(w.state->lastError(), std::nullopt);
        QVERIFY2(w.texts().contains("Saved."), qPrintable(w.texts().join(" | ")));
    }

    void testPromptStartsFromTheSenderEachTime() {
        Window w(ServiceStatus::enabled, sampleStatus());
        for (const char* typed : {"other@example.com", "me@example.com"}) {
            w.button("Send test email…")->click();
            QDialog* prompt = w.view->testPrompt();
            QVERIFY(prompt);
            QCOMPARE(prompt->windowTitle(), "Send test email");
            auto* recipient = prompt->findChild<QLineEdit*>();
            QCOMPARE(recipient->text(), "scans@example.com");
            QCOMPARE(recipient->placeholderText(), "Recipient");
            recipient->setText(typed);
            const bool send = QByteArray(typed) == "me@example.com";
            QTest::keyClick(recipient, send ? Qt::Key_Return : Qt::Key_Escape);
            QTRY_VERIFY(!w.view->testPrompt());
        }
        QTRY_COMPARE(w.zidire.commands().filter("TestSend").size(), 1);
        const QByteArray sent = w.zidire.requests()[w.zidire.commands().indexOf("TestSend")];
        QVERIFY2(sent.contains("\"to\":\"me@example.com\""), sent.constData());
    }

    void logSheetShowsLoadingThenTheLog() {
        Window w(ServiceStatus::enabled, sampleStatus());
        w.zidire.setReply(
            "GetLog", {R"({"ok":true,"log_tail":"line one\n"})", FakeZidire::Mode::answer, 300ms});
        w.view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.view.get()));
        QTest::keyClick(w.view->windowHandle(), Qt::Key_L, Qt::ControlModifier);
        QDialog* sheet = w.view->logSheet();
        QVERIFY(sheet);
        QCOMPARE(sheet->size(), QSize(640, 420));
        auto logText = [&] {
            QStringList texts;
            for (const QWidget* widget : sheet->findChildren<QWidget*>())
                texts.append(widget->property("plainText").toString() +
                             widget->property("text").toString());
            return texts.join("|");
        };
        QVERIFY(logText().contains("Loading…"));
        QTRY_VERIFY(logText().contains("line one"));
    }
};

QTEST_MAIN(StatusViewTest)
#include "tst_StatusView.moc"
