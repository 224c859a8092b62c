#include "FakeServiceManager.h"
#include "FakeSystemd.h"
#include "FakeZidire.h"
#include "LocalRelay.h"
#include "RelayPaths.h"
#include "ServiceRegistration.h"
#include "SystemdServiceManager.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FakeServiceManager::Service)

namespace {

using Service = FakeServiceManager::Service;

// Runs the event loop until `done` holds, checking each time `signal` is emitted.
template <class Signal> bool waitUntil(AppState& state, Signal signal, std::function<bool()> done) {
    QSignalSpy emitted(&state, signal);
    while (!done()) {
        if (!emitted.wait(10000))
            return false;
    }
    return true;
}

struct Fixture {
    QTemporaryDir dir;
    FakeZidire zidire;

    Fixture() { zidire.setReply("GetStatus", {statusReplyJson()}); }

    // A model whose first refresh has finished, polling nothing more by itself.
    std::unique_ptr<AppState> makeState(std::shared_ptr<const ServiceManager> services,
                                        const QString& socketPath = {}) const {
        auto state = std::make_unique<AppState>(
            std::move(services),
            ControlClient(socketPath.isEmpty() ? zidire.socketPath() : socketPath, 3),
            std::make_unique<Preferences>(preferencesPath()),
            AppState::Timing{std::chrono::hours(1), 6000ms});
        if (socketPath.isEmpty() && !waitUntil(*state, &AppState::controlStatusChanged,
                                               [&] { return state->controlStatus().has_value(); }))
            qWarning("the first refresh did not finish");
        return state;
    }
    QString preferencesPath() const { return dir.filePath("preferences.ini"); }
};

// Whether `operation` started a refresh: the model reads zidire's status once more.
bool refreshed(AppState& state, const std::function<void()>& operation) {
    int statusReads = 0;
    const QMetaObject::Connection counting =
        QObject::connect(&state, &AppState::controlStatusChanged, [&] { ++statusReads; });
    operation();
    const bool read =
        waitUntil(state, &AppState::controlStatusChanged, [&] { return statusReads > 0; });
    QObject::disconnect(counting);
    return read;
}

const QString daemonCall = QStringLiteral("daemon net.brimlake.moxtrel.daemon.plist: ");

} // namespace

class ServiceRegistrationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void daemonOperationsReportAndRefresh_data() {
        QTest::addColumn<bool>("install");
        QTest::addColumn<Service>("service");
        QTest::addColumn<std::optional<QString>>("lastError");
        QTest::addColumn<ServiceStatus>("statusAfter");
        const std::optional<QString> older("older failure");
        QTest::newRow("install") << true << Service{ServiceStatus::notRegistered} << older
                                 << ServiceStatus::enabled;
        QTest::newRow("install again")
            << true << Service{ServiceStatus::enabled} << older << ServiceStatus::enabled;
        QTest::newRow("install refused")
            << true << Service{ServiceStatus::notRegistered, "Access denied"}
            << std::optional<QString>("Couldn't install the background service: Access denied")
            << ServiceStatus::notRegistered;
        QTest::newRow("uninstall")
            << false << Service{ServiceStatus::enabled} << older << ServiceStatus::notRegistered;
        QTest::newRow("uninstall refused")
            << false << Service{ServiceStatus::enabled, {}, "Unit not loaded."}
            << std::optional<QString>("Couldn't remove the background service: Unit not loaded.")
            << ServiceStatus::enabled;
    }

    void daemonOperationsReportAndRefresh() {
        QFETCH(bool, install);
        QFETCH(Service, service);
        QFETCH(std::optional<QString>, lastError);
        QFETCH(ServiceStatus, statusAfter);
        Fixture f;
        auto services = std::make_shared<FakeServiceManager>();
        services->setDaemon(service);
        auto state = f.makeState(services);
        state->setLastError("older failure");

        QVERIFY(refreshed(*state, [&] {
            QCoro::waitFor(install ? installService(*state) : uninstallService(*state));
        }));

        QCOMPARE(state->lastError(), lastError);
        QCOMPARE(state->daemonStatus(), statusAfter);
        QCOMPARE(services->calls(), (QStringList{daemonCall + "status",
                                                 daemonCall + (install ? "register" : "unregister"),
                                                 daemonCall + "status"}));
    }

    void systemdRefusalReachesLastError() {
        PrivateBus bus;
        QVERIFY2(!bus.address().isEmpty(), qPrintable(bus.failure()));
        FakeSystemd systemd(bus.address());
        QVERIFY(systemd.isServing());
        systemd.failMethod("EnableUnitFiles", "org.freedesktop.DBus.Error.AccessDenied",
                           "Access denied");
        Fixture f;
        auto state = f.makeState(std::make_shared<SystemdServiceManager>(
            SystemdServiceManager::Setup{.busAddress = bus.address()},
            AutostartLocation{f.dir.filePath("autostart"), "/usr/bin/moxtrel"}));

        QCoro::waitFor(installService(*state));
        QCOMPARE(state->lastError(), "Couldn't install the background service: Access denied");
    }

    void launchAtLoginChangesTheItemOnlyWhenNeeded_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<Service>("loginItem");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<std::optional<QString>>("lastError");
        const QString status = "mainApp: status";
        QTest::newRow("on, not yet")
            << true << Service{ServiceStatus::notRegistered}
            << QStringList{status, "mainApp: register"} << std::optional<QString>();
        QTest::newRow("on, already") << true << Service{ServiceStatus::enabled}
                                     << QStringList{status} << std::optional<QString>();
        QTest::newRow("on, waiting for approval")
            << true << Service{ServiceStatus::requiresApproval}
            << QStringList{status, "mainApp: register"} << std::optional<QString>();
        QTest::newRow("off, on now")
            << false << Service{ServiceStatus::enabled}
            << QStringList{status, "mainApp: unregister"} << std::optional<QString>();
        QTest::newRow("off, already") << false << Service{ServiceStatus::notFound}
                                      << QStringList{status} << std::optional<QString>();
        QTest::newRow("on, refused")
            << true << Service{ServiceStatus::notRegistered, "read-only file system"}
            << QStringList{status, "mainApp: register"}
            << std::optional<QString>("Couldn't change \"Launch at login\": read-only file system");
        QTest::newRow("off, refused")
            << false << Service{ServiceStatus::enabled, {}, "permission denied"}
            << QStringList{status, "mainApp: unregister"}
            << std::optional<QString>("Couldn't change \"Launch at login\": permission denied");
    }

    void launchAtLoginChangesTheItemOnlyWhenNeeded() {
        QFETCH(bool, enabled);
        QFETCH(Service, loginItem);
        QFETCH(QStringList, calls);
        QFETCH(std::optional<QString>, lastError);
        Fixture f;
        auto services = std::make_shared<FakeServiceManager>();
        services->setMainApp(loginItem);
        auto state = f.makeState(services);
        state->setLastError("older failure");
        QSignalSpy reported(state.get(), &AppState::lastErrorChanged);

        setLaunchAtLogin(*state, enabled);
        // The choice is stored before anything else happens, and kept whatever follows.
        QCOMPARE(state->launchAtLogin(), enabled);
        QCOMPARE(Preferences(f.preferencesPath()).launchAtLogin(), enabled);
        QVERIFY(!reported.isEmpty() || reported.wait(10000));

        QCOMPARE(state->lastError(), lastError);
        QCOMPARE(state->launchAtLogin(), enabled);
        QCOMPARE(Preferences(f.preferencesPath()).launchAtLogin(), enabled);
        const QString daemonStatus = daemonCall + "status";
        QStringList loginItemCalls = services->calls();
        loginItemCalls.removeAll(daemonStatus);
        QCOMPARE(loginItemCalls, calls);
        // No refresh follows.
        QCOMPARE(services->calls().count(daemonStatus), 1);
    }

    void registeredLocalZidireIsStartedAtLaunch() {
        LocalRelay relay;
        auto local = std::make_shared<LocalServiceManager>(relay.setup(), relay.loginItem());
        local->daemonService(daemonPlistName)->registerService();
        relay.killZidire();
        Fixture f;
        auto state = f.makeState(local, RelayPaths::controlSocket(RelayMode::local));
        state->setLastError("older failure");

        QCoro::waitFor(startRegisteredDaemon(*state, local));

        // The refresh that follows finds it answering.
        QVERIFY(waitUntil(*state, &AppState::controlStatusChanged,
                          [&] { return state->controlStatus().has_value(); }));
        QCOMPARE(state->controlStatus()->version, MOXTREL_VERSION);
        QCOMPARE(state->daemonStatus(), ServiceStatus::enabled);
        QCOMPARE(state->lastError(), "older failure");
        local->daemonService(daemonPlistName)->unregisterService();
    }

    void registeredZidireThatIsGoneIsReported() {
        LocalRelay relay;
        LocalServiceManager(relay.setup(), relay.loginItem())
            .daemonService(daemonPlistName)
            ->registerService();
        relay.killZidire();
        const QString missing = relay.path("gone/zidire");
        auto local = std::make_shared<LocalServiceManager>(relay.setup(missing), relay.loginItem());
        Fixture f;
        auto state = f.makeState(local, RelayPaths::controlSocket(RelayMode::local));

        QCoro::waitFor(startRegisteredDaemon(*state, local));

        QCOMPARE(state->lastError(), "Couldn't start the background service: the relay program "
                                     "zidire is not installed (" +
                                         missing + " is missing)");
    }
};

QTEST_GUILESS_MAIN(ServiceRegistrationTest)
#include "tst_ServiceRegistration.moc"
