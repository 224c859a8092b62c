#include "LocalRelay.h"

#include <QTest>

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

std::unique_ptr<AppService> daemonOf(const LocalServiceManager& manager) {
    return manager.daemonService(QString::fromUtf8(daemonPlistName));
}

} // namespace

class LocalServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registeredZidireRunsUntilUnregistered() {
        LocalRelay relay;
        const LocalServiceManager manager(relay.setup(), relay.loginItem());
        const std::unique_ptr<AppService> daemon = daemonOf(manager);
        QCOMPARE(daemon->status(), ServiceStatus::notRegistered);
        daemon->unregisterService();
        manager.startRegisteredDaemon();
        QCOMPARE(relay.runningZidire(), std::nullopt); // nothing registered, nothing started

        daemon->registerService();
        QCOMPARE(relay.client().status().version, MOXTREL_VERSION);
        QCOMPARE(daemon->status(), ServiceStatus::enabled);
        // Registering again keeps the zidire that runs: a second one couldn't take its state.
        const std::optional<pid_t> started = relay.runningZidire();
        daemon->registerService();
        QCOMPARE(relay.runningZidire(), started);

        // As after a crash or a reboot.
        relay.killZidire();
        QCOMPARE(daemon->status(), ServiceStatus::enabled);
        manager.startRegisteredDaemon();
        QCOMPARE(relay.client().status().version, MOXTREL_VERSION);

        daemon->unregisterService();
        QCOMPARE(relay.runningZidire(), std::nullopt);
        QCOMPARE(daemon->status(), ServiceStatus::notRegistered);
    }

    void zidireThatCannotRunIsNotRegistered_data() {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("failure"); // %1: the program
        QTest::addColumn<ServiceStatus>("status");
        QTest::newRow("not installed")
            << false << "the relay program zidire is not installed (%1 is missing)"
            << ServiceStatus::notFound;
        QTest::newRow("stops at once") << true
                                       << "zidire stopped as soon as it started: --smtp-ports "
                                          "needs three different ports, got \"2525,2525,2525\""
                                       << ServiceStatus::notRegistered;
    }

    void zidireThatCannotRunIsNotRegistered() {
        QFETCH(bool, installed);
        QFETCH(QString, failure);
        QFETCH(ServiceStatus, status);
        LocalRelay relay;
        LocalDaemonSetup setup = installed ? relay.setup() : relay.setup(relay.path("bin/zidire"));
        setup.extraArguments = {"--smtp-ports", "2525,2525,2525"};
        const std::unique_ptr<AppService> daemon = daemonOf(LocalServiceManager(setup, {}));

        try {
            daemon->registerService();
            QFAIL("registered");
        } catch (const ServiceManagementError& error) {
            QCOMPARE(error.localizedDescription(), failure.replace("%1", setup.program));
        }
        QCOMPARE(daemon->status(), status);
    }
};

QTEST_GUILESS_MAIN(LocalServiceManagerTest)
#include "tst_LocalServiceManager.moc"
