#include "BackgroundWork.h"
#include "FakeSystemd.h"
#include "SystemdServiceManager.h"

#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

const QString unit = QStringLiteral("net.brimlake.moxtrel.daemon.service");

struct Fixture {
    PrivateBus bus;
    std::unique_ptr<FakeSystemd> systemd =
        bus.address().isEmpty() ? nullptr : std::make_unique<FakeSystemd>(bus.address());
    QTemporaryDir home;

    SystemdServiceManager manager(const QString& busAddress) const {
        return SystemdServiceManager({.busAddress = busAddress, .changeTimeout = 10s},
                                     {home.filePath("autostart"), "/usr/bin/moxtrel"});
    }
    SystemdServiceManager manager() const { return manager(bus.address()); }
};

// The service's calls block on replies that the bus's threads deliver; the test's thread runs
// its event loop meanwhile, as the application's main thread would.
template <class Call> auto inBackground(Call call) {
    return QCoro::waitFor(runInBackground(BackgroundPriority::userInitiated, std::move(call)));
}

std::optional<QString> failureOf(std::function<void()> change) {
    auto work = [change = std::move(change)]() -> std::optional<QString> {
        try {
            change();
            return std::nullopt;
        } catch (const ServiceManagementError& error) {
            return error.localizedDescription();
        }
    };
    return inBackground(std::move(work));
}

ServiceStatus daemonStatus(const SystemdServiceManager& manager) {
    auto work = [&manager] {
        return manager.daemonService(QString::fromUtf8(daemonPlistName))->status();
    };
    return inBackground(std::move(work));
}

QStringList describe(const QList<FakeSystemd::Call>& calls) {
    QStringList described;
    for (const FakeSystemd::Call& call : calls) {
        QStringList arguments;
        for (const QVariant& argument : call.arguments)
            arguments.append(argument.typeId() == QMetaType::QStringList
                                 ? "[" + argument.toStringList().join(",") + "]"
                                 : argument.toString());
        described.append(QStringLiteral("%1(%2)%3")
                             .arg(call.method, arguments.join(", "),
                                  call.interactiveAuthorizationAllowed ? " interactive" : ""));
    }
    return described;
}

} // namespace

class SystemdServiceManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void unitIsNamedAfterThePropertyList() {
        QCOMPARE(SystemdServiceManager::unitName(QString::fromUtf8(daemonPlistName)), unit);
    }

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
        QVERIFY2(f.systemd && f.systemd->isServing(), qPrintable(f.bus.failure()));
        if (!state.isEmpty())
            f.systemd->setUnitFileState(unit, state);

        QCOMPARE(daemonStatus(f.manager()), status);
        // Reading changes nothing, so polkit is never asked.
        QCOMPARE(describe(f.systemd->calls()), QStringList{"GetUnitFileState(" + unit + ")"});
    }

    void registerEnablesReloadsAndStarts() {
        Fixture f;
        QVERIFY2(f.systemd && f.systemd->isServing(), qPrintable(f.bus.failure()));
        f.systemd->setUnitFileState(unit, "disabled");
        const SystemdServiceManager manager = f.manager();

        const std::optional<QString> failure =
            failureOf([&] { manager.daemonService(daemonPlistName)->registerService(); });

        QCOMPARE(failure, std::nullopt);
        QCOMPARE(
            describe(f.systemd->calls()),
            (QStringList{"EnableUnitFiles([" + unit + "], false, true) interactive",
                         "Reload() interactive", "StartUnit(" + unit + ", replace) interactive"}));
        QCOMPARE(daemonStatus(manager), ServiceStatus::enabled);
    }

    void unregisterStopsDisablesAndReloads() {
        Fixture f;
        QVERIFY2(f.systemd && f.systemd->isServing(), qPrintable(f.bus.failure()));
        f.systemd->setUnitFileState(unit, "enabled");
        const SystemdServiceManager manager = f.manager();

        const std::optional<QString> failure =
            failureOf([&] { manager.daemonService(daemonPlistName)->unregisterService(); });

        QCOMPARE(failure, std::nullopt);
        QCOMPARE(describe(f.systemd->calls()),
                 (QStringList{"StopUnit(" + unit + ", replace) interactive",
                              "DisableUnitFiles([" + unit + "], false) interactive",
                              "Reload() interactive"}));
        QCOMPARE(daemonStatus(manager), ServiceStatus::notRegistered);
    }

    void refusalCarriesSystemdsMessageAndStopsThere() {
        Fixture f;
        QVERIFY2(f.systemd && f.systemd->isServing(), qPrintable(f.bus.failure()));
        f.systemd->failMethod("EnableUnitFiles",
                              "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                              "Interactive authentication required.");
        const SystemdServiceManager manager = f.manager();

        const std::optional<QString> failure =
            failureOf([&] { manager.daemonService(daemonPlistName)->registerService(); });

        QCOMPARE(failure, "Interactive authentication required.");
        QCOMPARE(f.systemd->calls().size(), 1);
    }

    void deadBusIsAClearFailureAndReadsNotFound() {
        QTemporaryDir nowhere;
        Fixture f;
        const SystemdServiceManager manager =
            f.manager("unix:path=" + nowhere.filePath("no-bus-here"));

        QCOMPARE(daemonStatus(manager), ServiceStatus::notFound);
        const std::optional<QString> failure =
            failureOf([&] { manager.daemonService(daemonPlistName)->unregisterService(); });
        QVERIFY(failure);
        QVERIFY2(failure->startsWith("can't reach systemd on the system bus: "),
                 qPrintable(*failure));
        QVERIFY2(failure->contains("no-bus-here"), qPrintable(*failure));
    }

    void busWithoutSystemdPassesTheBussMessageOn() {
        PrivateBus bus;
        QVERIFY2(!bus.address().isEmpty(), qPrintable(bus.failure()));
        Fixture f;
        const SystemdServiceManager manager = f.manager(bus.address());

        const std::optional<QString> failure =
            failureOf([&] { manager.daemonService(daemonPlistName)->registerService(); });
        QVERIFY(failure);
        QVERIFY2(failure->contains("org.freedesktop.systemd1"), qPrintable(*failure));
    }
};

QTEST_GUILESS_MAIN(SystemdServiceManagerTest)
#include "tst_SystemdServiceManager.moc"
