// moxtrel as a person runs it from a shell, with no display.

#include "FakeSystemd.h"
#include "LocalRelay.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// The test's environment (with LocalRelay's directories) without any display, plus `extra`.
QProcessEnvironment withoutDisplay(const QList<std::pair<QString, QString>>& extra) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    for (const auto& [name, value] : extra)
        environment.insert(name, value);
    return environment;
}

void start(QProcess& process, const QStringList& arguments,
           const QList<std::pair<QString, QString>>& environment) {
    process.setProcessEnvironment(withoutDisplay(environment));
    process.start(MOXTREL_PROGRAM, arguments);
}

// Runs it to the end. The event loop runs meanwhile: a fake systemd in this process may need it.
Run run(const QStringList& arguments, const QList<std::pair<QString, QString>>& environment) {
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    start(process, arguments, environment);
    if (!finished.wait(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

const QList<std::pair<QString, QString>> localMode{{"MOXTREL_PLATFORM", "local"}};
const QByteArray unregistered = "zidire daemon unregistered\n";

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void flagAnywhereUnregisters_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("alone") << QStringList{"--uninstall-daemon"};
        QTest::newRow("after others") << QStringList{"--verbose", "x", "--uninstall-daemon"};
        QTest::newRow("before others") << QStringList{"--uninstall-daemon", "--verbose"};
    }

    void flagAnywhereUnregisters() {
        QFETCH(QStringList, arguments);
        LocalRelay relay;
        LocalServiceManager local(relay.setup(), relay.loginItem());
        local.daemonService(daemonPlistName)->registerService();

        const Run result = run(arguments, localMode);

        QCOMPARE(result.standardOutput, unregistered);
        QCOMPARE(result.standardError, "");
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(relay.runningZidire(), std::nullopt);
        QCOMPARE(local.daemonService(daemonPlistName)->status(), ServiceStatus::notRegistered);
    }

    void flagAsTheProgramNameCounts() {
        LocalRelay relay;
        QProcess process;
        process.setProcessEnvironment(withoutDisplay(localMode));
        process.start("/bin/bash", {"-c", "exec -a --uninstall-daemon \"$0\"", MOXTREL_PROGRAM});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.readAllStandardOutput(), unregistered);
        QCOMPARE(process.exitCode(), 0);
    }

    void onlyTheExactFlagCounts_data() {
        QTest::addColumn<QString>("argument");
        QTest::newRow("suffix") << "--uninstall-daemonx";
        QTest::newRow("value") << "--uninstall-daemon=yes";
        QTest::newRow("letter case") << "--Uninstall-Daemon";
        QTest::newRow("one dash") << "-uninstall-daemon";
        QTest::newRow("space") << " --uninstall-daemon";
    }

    void onlyTheExactFlagCounts() {
        QFETCH(QString, argument);
        LocalRelay relay;
        QProcess process;
        process.setReadChannel(QProcess::StandardError);
        start(process, {argument}, localMode);

        // It starts as the application does, headless, and says so.
        QByteArray standardError;
        while (!standardError.contains('\n') && process.waitForReadyRead(30000))
            standardError += process.readAllStandardError();
        process.kill();
        process.waitForFinished();

        QCOMPARE(standardError.left(standardError.indexOf('\n') + 1),
                 "moxtrel: the windows are not built yet; running without them, status changes "
                 "follow here\n");
        QCOMPARE(process.readAllStandardOutput(), "");
    }

    void systemdIsAskedWithPolkitAllowed() {
        PrivateBus bus;
        QVERIFY2(!bus.address().isEmpty(), qPrintable(bus.failure()));
        FakeSystemd systemd(bus.address());
        QVERIFY(systemd.isServing());
        const QString unit = "net.brimlake.moxtrel.daemon.service";
        systemd.setUnitFileState(unit, "enabled");

        const Run result =
            run({"--uninstall-daemon"},
                {{"MOXTREL_PLATFORM", "systemd"}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});

        QCOMPARE(result.standardOutput, unregistered);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(systemd.unitFileState(unit), "disabled");
        QCOMPARE(systemd.calls().size(), 3);
        for (const QString& call : systemd.calls())
            QVERIFY2(call.endsWith(" interactive"), qPrintable(call));
    }

    void failuresGoToStandardError_data() {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QByteArray>("standardError");
        QTest::newRow("refused") << "systemd"
                                 << "Access denied"
                                 << QByteArray("failed to unregister daemon: Access denied\n");
        QTest::newRow("unknown platform")
            << "launchd" << QString()
            << QByteArray("failed to unregister daemon: MOXTREL_PLATFORM is \"launchd\"; it must "
                          "be \"systemd\" or \"local\"\n");
    }

    void failuresGoToStandardError() {
        QFETCH(QString, platform);
        QFETCH(QString, refusal);
        QFETCH(QByteArray, standardError);
        PrivateBus bus;
        QVERIFY2(!bus.address().isEmpty(), qPrintable(bus.failure()));
        FakeSystemd systemd(bus.address());
        systemd.failMethod("StopUnit", "org.freedesktop.DBus.Error.AccessDenied", refusal);

        const Run result =
            run({"--uninstall-daemon"},
                {{"MOXTREL_PLATFORM", platform}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});

        QCOMPARE(result.standardError, standardError);
        QCOMPARE(result.standardOutput, "");
        QCOMPARE(result.exitCode, 1);
    }

    void deadBusIsReportedWithoutHanging() {
        QTemporaryDir dir;
        const QString address = "unix:path=" + dir.filePath("no-bus");

        const Run result = run({"--uninstall-daemon"}, {{"MOXTREL_PLATFORM", "systemd"},
                                                        {"DBUS_SYSTEM_BUS_ADDRESS", address}});

        QVERIFY2(result.standardError.startsWith(
                     "failed to unregister daemon: can't reach systemd on the system bus: "),
                 result.standardError.constData());
        QVERIFY(result.standardError.endsWith("\n"));
        QCOMPARE(result.standardError.count('\n'), 1);
        QCOMPARE(result.exitCode, 1);
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_CommandLine.moc"
