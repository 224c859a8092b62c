#include "BackgroundWork.h"
#include "FakeSystemd.h"
#include "SystemdServiceManager.h"

#include <QTest>

#include <atomic>

namespace {

const QString unit = QStringLiteral("net.brimlake.moxtrel.daemon.service");
const QString refusal = QStringLiteral("Interactive authentication required.");

// The calls block on replies that the bus's threads deliver while this thread runs its event
// loop, as the application's main thread would. Returns what `call` returns, or the failure's
// text.
QString inBackground(std::function<QString()> call) {
    auto work = [call = std::move(call)] {
        try {
            return call();
        } catch (const ServiceManagementError& error) {
            return error.localizedDescription();
        }
    };
    return QCoro::waitFor(runInBackground(BackgroundPriority::userInitiated, std::move(work)));
}

QString nameOf(ServiceStatus status) {
    const char* const names[] = {"notRegistered", "enabled", "requiresApproval", "notFound"};
    return names[int(status)];
}

} // namespace

class SystemdServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void eachOperationAsksSystemdOnce_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("stateBefore"); // the unit file's; empty: there is none
        QTest::addColumn<QString>("refused");     // the method polkit refuses, if any
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("outcome"); // the status read, the failure, or what opened
        const QString units = "[" + unit + "], false";
        const QString enable = "EnableUnitFiles(" + units + ", true) interactive";
        const QString disable = "DisableUnitFiles(" + units + ") interactive";
        const QString unmask = "UnmaskUnitFiles(" + units + ") interactive";
        const QString reload = "Reload() interactive";
        const QString start = "StartUnit(" + unit + ", replace) interactive";
        const QString stop = "StopUnit(" + unit + ", replace) interactive";
        // Reading changes nothing, so polkit is not asked.
        const QString read = "GetUnitFileState(" + unit + ")";
        auto row = [](const char* name, const char* operation, const char* before,
                      const char* refused, const QStringList& calls, const QString& outcome) {
            QTest::newRow(name) << QString(operation) << QString(before) << QString(refused)
                                << calls << outcome;
        };
        for (const auto& [state, status] : {std::pair("enabled", ServiceStatus::enabled),
                                            {"enabled-runtime", ServiceStatus::enabled},
                                            {"disabled", ServiceStatus::notRegistered},
                                            {"linked", ServiceStatus::notRegistered},
                                            {"masked", ServiceStatus::requiresApproval},
                                            {"static", ServiceStatus::notFound},
                                            {"", ServiceStatus::notFound}})
            row(state, "status", state, "", {read}, nameOf(status));
        row("register", "register", "disabled", "", {enable, reload, start}, "");
        row("unregister", "unregister", "enabled", "", {disable, stop, reload}, "");
        row("register refused", "register", "disabled", "EnableUnitFiles", {enable}, refusal);
        // Disabling asks first, so a cancelled prompt leaves the service running.
        row("unregister cancelled", "unregister", "enabled", "DisableUnitFiles", {disable},
            refusal);
        row("approve masked", "approve", "masked", "", {read, unmask, reload}, "");
        row("approve runtime mask", "approve", "masked-runtime", "",
            {read, QString(unmask).replace("false", "true"), reload}, "");
        row("approval refused", "approve", "masked", "UnmaskUnitFiles", {read, unmask},
            "desktop settings");
        row("nothing to approve", "approve", "enabled", "", {read}, "desktop settings");
    }

    void eachOperationAsksSystemdOnce() {
        QFETCH(QString, operation);
        QFETCH(QString, stateBefore);
        QFETCH(QString, refused);
        QFETCH(QStringList, calls);
        QFETCH(QString, outcome);
        PrivateBus bus;
        FakeSystemd systemd(bus.address());
        QVERIFY2(systemd.isServing(), qPrintable(bus.failure()));
        if (!stateBefore.isEmpty())
            systemd.setUnitFileState(unit, stateBefore);
        if (!refused.isEmpty())
            systemd.failMethod(refused, "org.freedesktop.DBus.Error.AccessDenied", refusal);
        std::atomic<bool> opened = false;
        const SystemdServiceManager manager(
            {.busAddress = bus.address(), .openDesktopSettings = [&] { opened = true; }}, {});
        const std::unique_ptr<AppService> daemon =
            manager.daemonService(QString::fromUtf8(daemonPlistName));

        QCOMPARE(inBackground([&] {
                     if (operation == "status")
                         return nameOf(daemon->status());
                     if (operation == "register")
                         daemon->registerService();
                     else if (operation == "unregister")
                         daemon->unregisterService();
                     else
                         manager.openSystemSettingsLoginItems();
                     return QString(opened ? "desktop settings" : "");
                 }),
                 outcome);
        QCOMPARE(systemd.calls(), calls);
    }

    void deadBusFailsClearly() {
        QTemporaryDir dir;
        const QString failure = inBackground([&] {
            SystemdServiceManager({.busAddress = "unix:path=" + dir.filePath("no-bus")}, {})
                .daemonService(QString::fromUtf8(daemonPlistName))
                ->unregisterService();
            return QString();
        });
        QVERIFY2(failure.startsWith("can't reach systemd on the system bus: "),
                 qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(SystemdServiceManagerTest)
#include "tst_SystemdServiceManager.moc"
