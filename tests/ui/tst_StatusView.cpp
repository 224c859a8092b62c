#include "HeroCard.h"
#include "LogView.h"
#include "Screenshots.h"
#include "StatusView.h"
#include "TestModel.h"
#include "Widgets.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QToolButton>

using namespace std::chrono_literals;

namespace {

// A status window over a model whose first poll found what the test set up.
struct Window : TestModel {
    std::unique_ptr<StatusView> view;

    explicit Window(const std::optional<ControlStatus>& status, const QByteArray& otherReply = {})
        : TestModel(status, ServiceStatus::enabled, otherReply) {
        state->setShowOnboarding(false);
        // The window refreshes when shown; the rebuild follows the refresh.
        QSignalSpy refreshed(state.get(), &AppState::connectivityErrorChanged);
        view = std::make_unique<StatusView>(*state);
        view->show();
        QVERIFY(refreshed.wait(5000));
        QCoreApplication::processEvents();
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
    QStringList buttons() const {
        QStringList titles;
        for (const QPushButton* button : view->findChildren<QPushButton*>()) {
            if (button->isVisible())
                titles.append(button->text() + (button->isEnabled() ? "" : " (disabled)"));
        }
        return titles;
    }
};

} // namespace

class StatusViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsThePhase_data() {
        QTest::addColumn<std::optional<ControlStatus>>("status");
        QTest::addColumn<QByteArray>("reply"); // to every command, when there is no status
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("relay not running")
            << std::optional<ControlStatus>() << QByteArray()
            << QStringList{"The background service isn't running yet."}
            << QStringList{"View log", "Uninstall", "Install (disabled)"};
        QTest::newRow("relay answers garbage")
            << std::optional<ControlStatus>() << QByteArray("x")
            << QStringList{"The background service isn't answering.",
                           "Relay not reachable — the background service isn't running yet.",
                           "Can't reach zidire: couldn't read the response: not valid JSON "
                           "(illegal value at byte 1)"}
            << QStringList{"View log", "Uninstall", "Install (disabled)"};
        QTest::newRow("sign-in needed")
            << std::optional(statusWith([](auto& s) { s.authenticated = false; })) << QByteArray()
            << QStringList{"Sign-in needed", "Running", "No"}
            << QStringList{"View log", "Reconnect"};
        QTest::newRow("sender not set")
            << std::optional(statusWith([](auto& s) { s.provider = ""; })) << QByteArray()
            << QStringList{"Set up your sender"} << QStringList{"View log", "Open Settings…"};
        QTest::newRow("send failed")
            << std::optional(statusWith([](auto& s) {
                   s.lastError = "Graph refused the message: mailbox full";
                   s.lastErrorAgeSeconds = 300;
                   s.spoolDepth = 2;
               }))
            << QByteArray()
            << QStringList{"Graph refused the message: mailbox full 2 waiting.", "Last error"}
            << QStringList{"View log", "Retry now"};
        QTest::newRow("running") << std::optional(sampleStatus()) << QByteArray()
                                 << QStringList{"Relay is running", "scans@example.com"}
                                 << QStringList{"View log", "Send test email…"};
    }
    void showsThePhase() {
        QFETCH(std::optional<ControlStatus>, status);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, buttons);
        Window w(status, reply);
        const QStringList texts = w.texts();
        for (const QString& text : shown)
            QVERIFY2(texts.contains(text), qPrintable(text + " not in: " + texts.join(" | ")));
        QCOMPARE(w.buttons(), buttons);
        saveScreenshots(w.view.get(), QStringLiteral("status-") + QTest::currentDataTag());
    }

    void dismissRemovesOnlyTheActionError() {
        Window w(sampleStatus());
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
        Window w(sampleStatus());
        for (const char* typed : {"other@example.com", "me@example.com"}) {
            clickButton(w.view.get(), "Send test email…");
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
        Window w(sampleStatus());
        w.zidire.setReply(
            "GetLog", {R"({"ok":true,"log_tail":"line one\n"})", FakeZidire::Mode::answer, 300ms});
        w.view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.view.get()));
        QTest::keyClick(w.view->windowHandle(), Qt::Key_L, Qt::ControlModifier);
        QDialog* sheet = w.view->logSheet();
        QVERIFY(sheet);
        QCOMPARE(sheet->size(), QSize(640, 420));
        const LogView* log = sheet->findChild<LogView*>();
        QCOMPARE(log->shownText(), "Loading…");
        QTRY_COMPARE(log->shownText(), "line one\n");
    }
};

QTEST_MAIN(StatusViewTest)
#include "tst_StatusView.moc"
