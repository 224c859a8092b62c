#include "Appearance.h"
#include "DotLabel.h"
#include "HeroCard.h"
#include "LogView.h"
#include "SettingsCommand.h"
#include "SettingsLinkButton.h"
#include "TestModel.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QLabel>

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

    void logViewRefreshesAndCloses() {
        int refreshes = 0;
        QDialog sheet;
        auto* view = new LogView([&]() -> QCoro::Task<> {
            ++refreshes;
            co_return;
        });
        (new QVBoxLayout(&sheet))->addWidget(view);

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
        TestModel m;
        AppState& state = *m.state;
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
        // The application hands the change to its widgets from the event loop. A dark button and
        // window: Qt works out the other roles, text in white among them.
        QApplication::setPalette(QPalette(QColor(50, 50, 50), QColor(30, 30, 30)));
        QTRY_COMPARE(child->palette().color(QPalette::Highlight), brandAccent(true));
        QCOMPARE(child->palette().color(QPalette::WindowText), tintColor(Tint::red, true));
        QApplication::setPalette(light);
        QTRY_COMPARE(window.palette().color(QPalette::Highlight), brandAccent(false));
    }
};

QTEST_MAIN(ComponentsTest)
#include "tst_Components.moc"
