#include "BackgroundWork.h"
#include "FakeSystemd.h"
#include "SystemdServiceManager.h"

#include <QTest>

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

const QString unit = QStringLiteral("net.brimlake.moxtrel.daemon.service");

// The calls block on replies that the bus's threads deliver while this thread runs its event
// loop, as the application's main thread would. Returns the failure's text, if any.
std::optional<QString> inBackground(std::function<void()> call) {
    auto work = [call = std::move(call)]() -> std::optional<QString> {
        try {
            call();
            return std::nullopt;
        } catch (const ServiceManagementError& error) {
            return error.localizedDescription();
        }
    };
    return QCoro::waitFor(runInBackground(BackgroundPriority::userInitiated, std::move(work)));
}

struct Fixture {
    PrivateBus bus;
    FakeSystemd systemd{bus.address()};

    static ServiceStatus status(const QString& busAddress) {
        ServiceStatus status{};
        inBackground([&] { status = daemon(busAddress)->status(); });
        return status;
    }
    static std::unique_ptr<AppService> daemon(const QString& busAddress) {
        return SystemdServiceManager({.busAddress = busAddress}, {})
            .daemonService(QString::fromUtf8(daemonPlistName));
    }
};

} // namespace

class SystemdServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusFollowsTheUnitFileState_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<ServiceStatus>("status");
        QTest::newRow("enabled") << "enabled" << ServiceStatus::enabled;
        QTest::newRow("enabled-runtime") << "enabled-runtime" << ServiceStatus::enabled;
        QTest::newRow("disabled") << "disabled" << ServiceStatus::notRegistered;
        QTest::newRow("linked") << "linked" << ServiceStatus::notRegistered;
        QTest::newRow("masked") << "masked" << ServiceStatus::requiresApproval;
        QTest::newRow("no unit file") << QString() << ServiceStatus::notFound;
        QTest::newRow("static") << "static" << ServiceStatus::notFound;
    }

    void statusFollowsTheUnitFileState() {
        QFETCH(QString, state);
        QFETCH(ServiceStatus, status);
        Fixture f;
        QVERIFY2(f.systemd.isServing(), qPrintable(f.bus.failure()));
        if (!state.isEmpty())
            f.systemd.setUnitFileState(unit, state);

        QCOMPARE(f.status(f.bus.address()), status);
        // Reading changes nothing, so polkit is not asked.
        QCOMPARE(f.systemd.calls(), QStringList{"GetUnitFileState(" + unit + ")"});
    }

    void changesLetPolkitAsk_data() {
        QTest::addColumn<bool>("install");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<ServiceStatus>("statusAfter");
        QTest::newRow("register") << true
                                  << QStringList{"EnableUnitFiles([" + unit +
                                                     "], false, true) interactive",
                                                 "Reload() interactive",
                                                 "StartUnit(" + unit + ", replace) interactive"}
                                  << ServiceStatus::enabled;
        QTest::newRow("unregister")
            << false
            << QStringList{"StopUnit(" + unit + ", replace) interactive",
                           "DisableUnitFiles([" + unit + "], false) interactive",
                           "Reload() interactive"}
            << ServiceStatus::notRegistered;
    }

    void changesLetPolkitAsk() {
        QFETCH(bool, install);
        QFETCH(QStringList, calls);
        QFETCH(ServiceStatus, statusAfter);
        Fixture f;
        QVERIFY2(f.systemd.isServing(), qPrintable(f.bus.failure()));
        f.systemd.setUnitFileState(unit, install ? "disabled" : "enabled");
        const std::unique_ptr<AppService> daemon = f.daemon(f.bus.address());

        QCOMPARE(inBackground(
                     [&] { install ? daemon->registerService() : daemon->unregisterService(); }),
                 std::nullopt);
        QCOMPARE(f.systemd.calls(), calls);
        QCOMPARE(f.status(f.bus.address()), statusAfter);
    }

    void refusalCarriesSystemdsMessageAndStopsThere() {
        Fixture f;
        QVERIFY2(f.systemd.isServing(), qPrintable(f.bus.failure()));
        f.systemd.failMethod("EnableUnitFiles",
                             "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                             "Interactive authentication required.");

        QCOMPARE(inBackground([&] { f.daemon(f.bus.address())->registerService(); }),
                 "Interactive authentication required.");
        QCOMPARE(f.systemd.calls().size(), 1);
    }

    void deadBusReadsNotFoundAndFailsClearly() {
        QTemporaryDir dir;
        const QString nowhere = "unix:path=" + dir.filePath("no-bus-here");

        QCOMPARE(Fixture::status(nowhere), ServiceStatus::notFound);
        const std::optional<QString> failure =
            inBackground([&] { Fixture::daemon(nowhere)->unregisterService(); });
        QVERIFY(failure);
        QVERIFY2(failure->startsWith("can't reach systemd on the system bus: ") &&
                     failure->contains("no-bus-here"),
                 qPrintable(*failure));
    }
};

QTEST_GUILESS_MAIN(SystemdServiceManagerTest)
#include "tst_SystemdServiceManager.moc"
