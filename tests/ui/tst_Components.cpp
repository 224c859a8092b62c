#include "AppState.h"
#include "Appearance.h"
#include "DotLabel.h"
#include "FakeServiceManager.h"
#include "GroupedForm.h"
#include "HeroCard.h"
#include "LogView.h"
#include "ProminentButton.h"
#include "SettingsCommand.h"
#include "SettingsLinkButton.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class ComponentsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void heroCardElidesSubtitleInTheMiddle() {
        const QString address = "a-very-long-sender-address-for-scanners@branch.example.com";
        HeroCard card({"checkmark.circle", Tint::green, "Relay is running", address});
        card.resize(280, card.sizeHint().height());
        card.show();
        QVERIFY(QTest::qWaitForWindowExposed(&card));
        const QString shown = card.shownSubtitle();
        QVERIFY2(shown.startsWith("a-very") && shown.endsWith(".com") && shown.contains("…"),
                 qPrintable(shown));
        // One line: the icon tile and the margins decide the height, not the subtitle.
        QCOMPARE(card.sizeHint().height(), 50);
        card.resize(700, card.height());
        QTRY_COMPARE(card.shownSubtitle(), address);
    }

    void dotLabelPutsTextFirstOnlyWhenTrailing() {
        for (auto position : {DotLabel::DotPosition::leading, DotLabel::DotPosition::trailing}) {
            DotLabel label(Tint::green, "someone@example.com", position);
            label.show();
            QVERIFY(QTest::qWaitForWindowExposed(&label));
            const auto parts = label.findChildren<QWidget*>(); // the text, the dot
            QCOMPARE(parts.at(0)->x() < parts.at(1)->x(),
                     position == DotLabel::DotPosition::trailing);
        }
    }

    void logViewShowsRefreshesAndCloses() {
        int refreshes = 0;
        QDialog sheet;
        auto* view = new LogView([&]() -> QCoro::Task<> {
            ++refreshes;
            co_return;
        });
        (new QVBoxLayout(&sheet))->addWidget(view);
        QCOMPARE(view->shownText(), "Loading…");
        view->setText("started\nlistening");
        QCOMPARE(view->shownText(), "started\nlistening");

        QSignalSpy done(view, &LogView::done);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        auto* refresh = view->findChildren<QPushButton*>().at(0);
        refresh->click();
        QCOMPARE(refreshes, 1);
        // Return means "Done" even while "Refresh" has the focus.
        refresh->setFocus();
        QTest::keyClick(refresh, Qt::Key_Return);
        QCOMPARE(done.size(), 1);
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
    }

    void settingsLinkSetsTheTabOnlyWhenGiven() {
        QTemporaryDir dir;
        AppState state({std::make_shared<FakeServiceManager>(), nullptr},
                       ControlClient(dir.filePath("none.sock"), 1),
                       std::make_unique<Preferences>(dir.filePath("p.ini")),
                       {std::chrono::hours(1), std::chrono::hours(1)});
        QList<std::optional<SettingsTab>> tabsWhenOpened;
        setSettingsWindowOpener([&] { tabsWhenOpened << state.requestedSettingsTab(); });
        state.setRequestedSettingsTab(SettingsTab::sendingAccount);
        SettingsLinkButton(state, "Open Settings…").click();
        SettingsLinkButton(state, "Device…", SettingsTab::deviceAccount).click();
        setSettingsWindowOpener({});
        QCOMPARE(tabsWhenOpened, (QList<std::optional<SettingsTab>>{SettingsTab::sendingAccount,
                                                                    SettingsTab::deviceAccount}));
    }

    void tintsFollowTheAppearance() {
        const QPalette light = QApplication::palette();
        QWidget window;
        auto* child = new QLabel("x", &window);
        applyBrandTint(&window);
        setTextTint(child, Tint::red);
        QCOMPARE(child->palette().color(QPalette::Highlight), brandAccent(false));
        // The application hands the change to its widgets from the event loop.
        QApplication::setPalette(darkPalette());
        QTRY_COMPARE(child->palette().color(QPalette::Highlight), brandAccent(true));
        QCOMPARE(child->palette().color(QPalette::WindowText), tintColor(Tint::red, true));
        QApplication::setPalette(light);
        QTRY_COMPARE(window.palette().color(QPalette::Highlight), brandAccent(false));
    }

    // Not a check: pictures of the components in both appearances, to look at.
    void render() {
        const QPalette light = QApplication::palette();
        const QDir out(QCoreApplication::applicationDirPath() + "/ui-renders");
        QVERIFY(out.mkpath("."));
        for (const QString appearance : {"light", "dark"}) {
            QApplication::setPalette(appearance == "dark" ? darkPalette() : light);
            QWidget window;
            window.setFixedWidth(420);
            applyBrandTint(&window);
            auto* form = new GroupedForm;
            form->addSection()->addWidget(new HeroCard(
                {"exclamationmark.triangle", Tint::red, "Last send failed",
                 "The provider refused the message: the mailbox is over its quota 3 waiting."}));
            FormSection* rows = form->addSection();
            rows->setHeader("Device login");
            rows->addRow("Background service", new DotLabel(Tint::green, "Running"));
            rows->addRow("Signed in", new DotLabel(Tint::red, "No"));
            rows->addText("Could not connect to zidire: connection refused", Tint::red);
            rows->setFooter("The login your MFC devices use to send scans to this relay.");
            auto* buttons = new QHBoxLayout;
            buttons->addStretch();
            buttons->addWidget(new QPushButton("View log"));
            for (bool enabled : {false, true}) {
                buttons->addWidget(new ProminentButton(enabled ? "Retry now" : "Install"));
                buttons->itemAt(buttons->count() - 1)->widget()->setEnabled(enabled);
            }
            auto* column = new QVBoxLayout(&window);
            column->addWidget(form);
            column->addLayout(buttons);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(window.grab().save(out.filePath("status-" + appearance + ".png")));
            LogView log([]() -> QCoro::Task<> { co_return; });
            QVERIFY(log.grab().save(out.filePath("log-" + appearance + ".png")));
        }
        QApplication::setPalette(light);
    }

private:
    // Qt works out the other roles, text in white among them.
    static QPalette darkPalette() { return {QColor(50, 50, 50), QColor(30, 30, 30)}; }
};

QTEST_MAIN(ComponentsTest)
#include "tst_Components.moc"
