#include "ControlClient.h"
#include "LocalRelay.h"
#include "LocalServiceManager.h"
#include "RelayPaths.h"

#include <QDir>
#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

std::unique_ptr<AppService> daemon(const LocalServiceManager& manager) {
    return manager.daemonService(QString::fromUtf8(daemonPlistName));
}

// zidire's own answer, or why there was none.
QString relayAnswer() {
    try {
        return "running " +
               ControlClient(RelayPaths::controlSocket(RelayMode::local), 3).status().version;
    } catch (const ControlClientError& error) {
        return error.kind() == ControlClientError::Kind::notRunning ? "not running"
                                                                    : error.description();
    }
}

QString running() {
    return QStringLiteral("running " MOXTREL_VERSION);
}

std::optional<QString> failureOf(const std::function<void()>& change) {
    try {
        change();
        return std::nullopt;
    } catch (const ServiceManagementError& error) {
        return error.localizedDescription();
    }
}

} // namespace

class LocalServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registerStartsZidireAndUnregisterStopsIt() {
        LocalRelay relay;
        const LocalServiceManager manager(relay.setup(), relay.loginItem());
        QCOMPARE(daemon(manager)->status(), ServiceStatus::notRegistered);

        daemon(manager)->registerService();
        QCOMPARE(relayAnswer(), running());
        QCOMPARE(daemon(manager)->status(), ServiceStatus::enabled);
        const std::optional<pid_t> started = relay.runningZidire();
        QVERIFY(started);

        // Registering again keeps the zidire that runs: a second one couldn't take its state.
        daemon(manager)->registerService();
        QCOMPARE(relay.runningZidire(), started);

        daemon(manager)->unregisterService();
        QCOMPARE(relayAnswer(), "not running");
        QCOMPARE(relay.runningZidire(), std::nullopt);
        QCOMPARE(daemon(manager)->status(), ServiceStatus::notRegistered);
    }

    void registeredZidireThatStoppedIsStartedAgain() {
        LocalRelay relay;
        const LocalServiceManager manager(relay.setup(), relay.loginItem());
        manager.startRegisteredDaemon();
        QCOMPARE(relay.runningZidire(), std::nullopt); // nothing registered, nothing started

        daemon(manager)->registerService();
        relay.killZidire();
        QCOMPARE(relayAnswer(), "not running");
        QCOMPARE(daemon(manager)->status(), ServiceStatus::enabled);

        manager.startRegisteredDaemon();
        QCOMPARE(relayAnswer(), running());
        daemon(manager)->unregisterService();
    }

    void unregisteringWhatIsNotRegisteredSucceeds() {
        LocalRelay relay;
        const LocalServiceManager manager(relay.setup(), relay.loginItem());
        QCOMPARE(failureOf([&] { daemon(manager)->unregisterService(); }), std::nullopt);
        QCOMPARE(daemon(manager)->status(), ServiceStatus::notRegistered);
    }

    void missingZidireIsNotFoundAndCannotRegister() {
        LocalRelay relay;
        const QString missing = relay.path("bin/zidire");
        const LocalServiceManager manager(relay.setup(missing), relay.loginItem());

        QCOMPARE(daemon(manager)->status(), ServiceStatus::notFound);
        QCOMPARE(failureOf([&] { daemon(manager)->registerService(); }),
                 "the relay program zidire is not installed (" + missing + " is missing)");
        QCOMPARE(daemon(manager)->status(), ServiceStatus::notFound);
    }

    void zidireThatStopsAtOnceLeavesNoRegistration() {
        LocalRelay relay;
        LocalDaemonSetup setup = relay.setup();
        setup.extraArguments = {"--smtp-ports", "2525,2525,2525"};
        const LocalServiceManager manager(setup, relay.loginItem());

        QCOMPARE(failureOf([&] { daemon(manager)->registerService(); }),
                 "zidire stopped as soon as it started: --smtp-ports needs three "
                 "different ports, got \"2525,2525,2525\"");
        QCOMPARE(daemon(manager)->status(), ServiceStatus::notRegistered);
    }

    void stateDirectoryInTheWayIsAClearFailure() {
        LocalRelay relay;
        LocalDaemonSetup setup = relay.setup();
        QFile blocker(relay.path("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        setup.stateDirectory = relay.path("blocker/moxtrel");
        const LocalServiceManager manager(setup, relay.loginItem());

        const std::optional<QString> failure =
            failureOf([&] { daemon(manager)->registerService(); });
        QVERIFY(failure);
        QVERIFY2(failure->contains(relay.path("blocker")), qPrintable(*failure));
        QCOMPARE(relay.runningZidire(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(LocalServiceManagerTest)
#include "tst_LocalServiceManager.moc"
