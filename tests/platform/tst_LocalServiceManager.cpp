#include "ControlClient.h"
#include "LocalRelay.h"
#include "RelayPaths.h"

#include <QTest>

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

// zidire's version as it answers on the local socket, or why it doesn't.
QString relayAnswer() {
    try {
        return ControlClient(RelayPaths::controlSocket(RelayMode::local), 3).status().version;
    } catch (const ControlClientError& error) {
        return error.description();
    }
}

const QString notRunning = ControlClientError::notRunning().description();

std::optional<QString> failureOf(const std::function<void()>& change) {
    try {
        change();
        return std::nullopt;
    } catch (const ServiceManagementError& error) {
        return error.localizedDescription();
    }
}

struct Fixture {
    LocalRelay relay;
    LocalServiceManager manager{relay.setup(), relay.loginItem()};

    std::unique_ptr<AppService> daemon() const { return daemon(manager); }
    static std::unique_ptr<AppService> daemon(const LocalServiceManager& manager) {
        return manager.daemonService(QString::fromUtf8(daemonPlistName));
    }
};

} // namespace

class LocalServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registerStartsZidireAndUnregisterStopsIt() {
        Fixture f;
        QCOMPARE(f.daemon()->status(), ServiceStatus::notRegistered);
        QCOMPARE(failureOf([&] { f.daemon()->unregisterService(); }), std::nullopt);

        f.daemon()->registerService();
        QCOMPARE(relayAnswer(), MOXTREL_VERSION);
        QCOMPARE(f.daemon()->status(), ServiceStatus::enabled);
        // Registering again keeps the zidire that runs: a second one couldn't take its state.
        const std::optional<pid_t> started = f.relay.runningZidire();
        f.daemon()->registerService();
        QCOMPARE(f.relay.runningZidire(), started);

        f.daemon()->unregisterService();
        QCOMPARE(relayAnswer(), notRunning);
        QCOMPARE(f.relay.runningZidire(), std::nullopt);
        QCOMPARE(f.daemon()->status(), ServiceStatus::notRegistered);
    }

    void registeredZidireThatStoppedIsStartedAgain() {
        Fixture f;
        f.manager.startRegisteredDaemon();
        QCOMPARE(f.relay.runningZidire(), std::nullopt); // nothing registered, nothing started

        f.daemon()->registerService();
        f.relay.killZidire();
        QCOMPARE(relayAnswer(), notRunning);
        QCOMPARE(f.daemon()->status(), ServiceStatus::enabled);

        f.manager.startRegisteredDaemon();
        QCOMPARE(relayAnswer(), MOXTREL_VERSION);
        f.daemon()->unregisterService();
    }

    void missingZidireIsNotFoundAndCannotRegister() {
        Fixture f;
        const QString missing = f.relay.path("bin/zidire");
        const auto daemon = f.daemon(LocalServiceManager(f.relay.setup(missing), {}));

        QCOMPARE(daemon->status(), ServiceStatus::notFound);
        QCOMPARE(failureOf([&] { daemon->registerService(); }),
                 "the relay program zidire is not installed (" + missing + " is missing)");
        QCOMPARE(daemon->status(), ServiceStatus::notFound);
    }

    void zidireThatStopsAtOnceIsReportedAndNotRegistered() {
        Fixture f;
        LocalDaemonSetup setup = f.relay.setup();
        setup.extraArguments = {"--smtp-ports", "2525,2525,2525"};
        const auto daemon = f.daemon(LocalServiceManager(setup, {}));

        QCOMPARE(failureOf([&] { daemon->registerService(); }),
                 "zidire stopped as soon as it started: --smtp-ports needs three different "
                 "ports, got \"2525,2525,2525\"");
        QCOMPARE(daemon->status(), ServiceStatus::notRegistered);
    }
};

QTEST_GUILESS_MAIN(LocalServiceManagerTest)
#include "tst_LocalServiceManager.moc"
