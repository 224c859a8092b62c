#include "StatusItemController.h"
#include "TestModel.h"

#include <QApplication>
#include <QMenu>
#include <QPointer>

namespace {

struct Fixture : TestModel {
    int reopened = 0;
    std::unique_ptr<StatusItemController> controller =
        std::make_unique<StatusItemController>(*state, [this] { ++reopened; });

    QStringList openMenu() {
        QMenu* menu = controller->statusItem()->contextMenu();
        Q_EMIT menu->aboutToShow();
        QStringList lines;
        for (const QAction* action : menu->actions())
            lines.append(action->isSeparator()
                             ? QString("---")
                             : action->text() + (action->isEnabled() ? "" : " (disabled)"));
        return lines;
    }
};

} // namespace

class StatusItemControllerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsThePreference() {
        Fixture f;
        QCoreApplication::processEvents();
        QVERIFY(!f.controller->statusItem());

        f.state->setShowMenuBarIcon(true);
        QVERIFY(!f.controller->statusItem()); // not before the event loop's next turn
        QCoreApplication::processEvents();
        const QPointer<QSystemTrayIcon> first = f.controller->statusItem();
        QVERIFY(first);
        QVERIFY(first->contextMenu()->actions().isEmpty());
        f.state->setShowMenuBarIcon(true); // a second "on" keeps the item it has
        QCoreApplication::processEvents();
        QVERIFY(first);
        QCOMPARE(f.controller->statusItem(), first.data());

        f.state->setShowMenuBarIcon(false);
        QCoreApplication::processEvents();
        QVERIFY(!f.controller->statusItem());
    }

    void menuIsRebuiltOnEachOpening() {
        Fixture f;
        f.state->setShowMenuBarIcon(true);
        QCoreApplication::processEvents();
        f.state->setDaemonStatus(ServiceStatus::requiresApproval);
        f.state->setControlStatus(std::nullopt);
        QCOMPARE(
            f.openMenu(),
            (QStringList{"Background service: Needs approval in System Settings (disabled)",
                         "Relay not reachable (disabled)", "---", "Open Moxtrel", "Quit Moxtrel"}));

        f.state->setDaemonStatus(ServiceStatus::enabled);
        f.state->setControlStatus(sampleStatus(3));
        QCOMPARE(f.openMenu(),
                 (QStringList{"Background service: Running (disabled)",
                              "Sending as scans@example.com (disabled)", "Queued: 3 (disabled)",
                              "---", "Open Moxtrel", "Quit Moxtrel"}));
    }

    void openRaisesAWindowOrReopens() {
        Fixture f;
        f.controller->openMainWindow();
        QCOMPARE(f.reopened, 1);

        QWidget window;
        window.show();
        f.controller->openMainWindow();
        QCOMPARE(f.reopened, 1);
        QTRY_VERIFY(window.isActiveWindow());
    }
};

QTEST_MAIN(StatusItemControllerTest)
#include "tst_StatusItemController.moc"
