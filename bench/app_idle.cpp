// The application at rest: moxtrel polling a fake zidire every 5 seconds for a minute, beside a
// Qt Widgets program that shows one empty window, both started in the same run. Prints the CPU
// time and peak memory of each, the ratio, and how long moxtrel took to send its first status
// request. moxtrel runs as it does day to day, its first-run assistant finished (the assistant's
// sheet, shown once, costs about 1.8 MiB more).

#include "BenchRatio.h"
#include "FakeZidire.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
// Start-up work (loading libraries, the first window) is over well before the idle minute starts.
constexpr auto settleTime = std::chrono::seconds(10);
constexpr auto idlePeriod = std::chrono::seconds(60);

struct Footprint {
    double cpuSeconds = 0;
    double peakRssMiB = 0;
};

// From /proc while the process still runs: user and system time, and the high-water mark of its
// resident memory.
Footprint footprintOf(qint64 pid) {
    Footprint footprint;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // utime and stime are the 14th and 15th fields; the list starts at the 3rd.
        const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
        footprint.cpuSeconds = ticks / double(::sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                footprint.peakRssMiB = line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
        }
    }
    return footprint;
}

QProcessEnvironment sessionFor(const QTemporaryDir& home, const QString& controlSocket) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("state")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("MOXTREL_PLATFORM"), QStringLiteral("local"));
    environment.insert(QStringLiteral("MOXTREL_CONTROL_SOCKET"), controlSocket);
    return environment;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir home;
    FakeZidire zidire;
    zidire.setReply(QStringLiteral("GetStatus"), {statusReplyJson()});

    QDir(home.path()).mkpath(QStringLiteral("config/brimlake"));
    QSettings preferences(home.filePath(QStringLiteral("config/brimlake/Moxtrel.conf")),
                          QSettings::IniFormat);
    preferences.setValue(QStringLiteral("onboardingCompleted"), true);
    preferences.sync();

    QProcess moxtrel;
    QProcess minimal;
    moxtrel.setProcessEnvironment(sessionFor(home, zidire.socketPath()));
    minimal.setProcessEnvironment(sessionFor(home, zidire.socketPath()));
    const Clock::time_point started = Clock::now();
    moxtrel.start(QStringLiteral(MOXTREL_PROGRAM), {});
    minimal.start(QStringLiteral(MINIMAL_WINDOW_PROGRAM), {});
    if (!moxtrel.waitForStarted() || !minimal.waitForStarted()) {
        std::fprintf(stderr, "app_idle: a program did not start\n");
        return 1;
    }
    std::printf("settling for %lld s, then idling for %lld s with 5-second polling…\n",
                static_cast<long long>(settleTime.count()),
                static_cast<long long>(idlePeriod.count()));
    std::fflush(stdout);
    while (Clock::now() - started < settleTime)
        QThread::msleep(200);
    const Footprint settled = footprintOf(moxtrel.processId());
    while (Clock::now() - started < settleTime + idlePeriod)
        QThread::msleep(200);

    const Footprint app = footprintOf(moxtrel.processId());
    const Footprint floor = footprintOf(minimal.processId());
    const QList<Clock::time_point> requests = zidire.requestTimes();
    moxtrel.kill();
    minimal.kill();
    moxtrel.waitForFinished();
    minimal.waitForFinished();
    if (requests.isEmpty()) {
        std::fprintf(stderr, "app_idle: moxtrel sent no status request\n");
        return 1;
    }

    const double seconds = std::chrono::duration<double>(idlePeriod).count();
    std::printf("moxtrel: %.3f s CPU, %.1f MiB peak; minimal window: %.3f s CPU, %.1f MiB peak; "
                "%lld status requests\n",
                app.cpuSeconds, app.peakRssMiB, floor.cpuSeconds, floor.peakRssMiB,
                static_cast<long long>(requests.size()));
    bool met = true;
    met &= reportTarget("app idle: CPU, % of one core",
                        100 * (app.cpuSeconds - settled.cpuSeconds) / seconds, "%", false, 0.1);
    met &= reportTarget("app idle: peak RSS / minimal window", app.peakRssMiB / floor.peakRssMiB,
                        "x", false, 1.5);
    met &=
        reportTarget("app start: first status request, ms",
                     std::chrono::duration<double, std::milli>(requests.first() - started).count(),
                     "ms", false, 200);
    return met ? 0 : 1;
}
