// moxtrel as a person starts it: from a shell without a display, and on a desktop.

#include "CommandLineUninstall.h"
#include "FakeSystemd.h"
#include "FakeZidire.h"
#include "LocalRelay.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Runs moxtrel to the end without any display, in the test's environment plus `extra`.
Run run(const QStringList& arguments, const QList<std::pair<QString, QString>>& extra) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    for (const auto& [name, value] : extra)
        environment.insert(name, value);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(MOXTREL_PROGRAM, arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// A user's session for the application: its own home, runtime, state and configuration
// directories, the offscreen platform as its display, and zidire's socket at `controlSocket`.
QProcessEnvironment desktopSession(const QTemporaryDir& home, const QString& controlSocket,
                                   const QString& sessionBus) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(name);
    QDir(home.path()).mkpath("run");
    QFile::setPermissions(home.filePath("run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment.insert("HOME", home.path());
    environment.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    environment.insert("XDG_STATE_HOME", home.filePath("state"));
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("MOXTREL_PLATFORM", "local");
    environment.insert("MOXTREL_CONTROL_SOCKET", controlSocket);
    if (!sessionBus.isEmpty())
        environment.insert("DBUS_SESSION_BUS_ADDRESS", sessionBus);
    return environment;
}

} // namespace

class MoxtrelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void onlyTheExactFlagCounts() {
        const std::pair<std::vector<const char*>, bool> rows[] = {
            {{"moxtrel", "-v", "x", "--uninstall-daemon"}, true},
            {{"--uninstall-daemon"}, true}, // as the program's name
            {{"moxtrel", "--uninstall-daemon=yes"}, false},
            {{"moxtrel", "--Uninstall-Daemon"}, false},
            {{"moxtrel", " --uninstall-daemon"}, false},
        };
        for (const auto& [argv, uninstall] : rows)
            QVERIFY2(hasUninstallDaemonFlag(int(argv.size()), argv.data()) == uninstall,
                     argv.back());
    }

    // Over SSH: no display, and the outcome on the standard streams and in the exit code.
    void uninstallsWithoutADisplay() {
        LocalRelay relay;
        LocalServiceManager local(relay.setup(), relay.loginItem());
        local.daemonService(daemonPlistName)->registerService();

        const Run done = run({"--verbose", "--uninstall-daemon"}, {{"MOXTREL_PLATFORM", "local"}});
        QCOMPARE(done.standardOutput, "zidire daemon unregistered\n");
        QCOMPARE(done.standardError, "");
        QCOMPARE(done.exitCode, 0);
        QCOMPARE(relay.runningZidire(), std::nullopt);
        QCOMPARE(local.daemonService(daemonPlistName)->status(), ServiceStatus::notRegistered);

        const Run failed = run({"--uninstall-daemon"}, {{"MOXTREL_PLATFORM", "launchd"}});
        QCOMPARE(failed.standardError, "failed to unregister daemon: MOXTREL_PLATFORM is "
                                       "\"launchd\"; it must be \"systemd\" or \"local\"\n");
        QCOMPARE(failed.standardOutput, "");
        QCOMPARE(failed.exitCode, 1);
    }

    // The first status request goes out at once, the next ones every poll interval; a second
    // start hands over to the running application and ends.
    void runsOncePerUser_data() {
        QTest::addColumn<bool>("sessionBus");
        QTest::newRow("on the session bus") << true;
        QTest::newRow("without a session bus") << false;
    }
    void runsOncePerUser() {
        QFETCH(bool, sessionBus);
        std::optional<PrivateBus> bus;
        if (sessionBus) {
            bus.emplace();
            QVERIFY2(!bus->address().isEmpty(), qPrintable(bus->failure()));
        }
        QTemporaryDir home;
        FakeZidire zidire;
        zidire.setReply("GetStatus", {statusReplyJson()});
        const QProcessEnvironment session =
            desktopSession(home, zidire.socketPath(), bus ? bus->address() : QString());

        QProcess first;
        first.setProcessEnvironment(session);
        const auto started = std::chrono::steady_clock::now();
        first.start(MOXTREL_PROGRAM, {});
        QTRY_VERIFY_WITH_TIMEOUT(zidire.requestTimes().size() >= 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(zidire.requestTimes().constLast() - zidire.requestTimes()[0] >
                                     std::chrono::seconds(4),
                                 15000);
        const auto times = zidire.requestTimes();
        QVERIFY(times[0] - started < std::chrono::seconds(3));
        const auto interval = times.constLast() - times[times.size() - 2];
        QVERIFY2(interval > std::chrono::milliseconds(4500) && interval < std::chrono::seconds(6),
                 qPrintable(QString::number(interval.count())));

        QProcess second;
        second.setProcessEnvironment(session);
        second.start(MOXTREL_PROGRAM, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardError(), "");
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(MoxtrelTest)
#include "tst_Moxtrel.moc"
