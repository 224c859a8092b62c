// zidire, the Moxtrel relay daemon.

#include "daemon/Daemon.h"
#include "daemon/DaemonOptions.h"
#include "daemon/ShutdownSignals.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    // Before QCoreApplication, which may start threads that must inherit the blocked mask.
    zidire::ShutdownSignals::block();
    // A client that hangs up while zidire writes is an error on that write, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zidire"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MOXTREL_VERSION));

    zidire::DaemonOptions options;
    try {
        options = zidire::parseDaemonOptions(QCoreApplication::arguments());
    } catch (const zidire::UsageError& error) {
        std::fprintf(stderr, "zidire: %s\nTry 'zidire --help'.\n", error.what());
        return 2;
    }
    if (options.mode == RelayMode::system && ::geteuid() != 0) {
        std::fprintf(stderr, "zidire: the system service runs as root; use --user to run it as "
                             "this user\n");
        return 2;
    }

    try {
        zidire::Daemon daemon(options);
        QObject::connect(&daemon, &zidire::Daemon::stopRequested, &application,
                         &QCoreApplication::quit);
        return QCoreApplication::exec();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zidire: %s\n", error.what());
        return 1;
    }
}
