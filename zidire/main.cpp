// zidire, the Moxtrel relay daemon, and the commands for a running one.

#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "daemon/Daemon.h"
#include "daemon/ShutdownSignals.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

int runRelay(int argc, char** argv, const zidire::DaemonOptions& options) {
    // Before QCoreApplication, which may start threads that must inherit the blocked mask.
    zidire::ShutdownSignals::block();
    // A client that hangs up while zidire writes is an error on that write, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    if (options.mode == RelayMode::system && ::geteuid() != 0) {
        std::fprintf(stderr, "zidire: the system service runs as root; use --user to run it as "
                             "this user\n");
        return zidire::usage;
    }
    QCoreApplication application(argc, argv);
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("zidire"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MOXTREL_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    zidire::Invocation invocation;
    try {
        invocation = zidire::parseCommandLine(arguments);
    } catch (const zidire::UsageError& error) {
        std::fprintf(stderr, "zidire: %s\nTry 'zidire --help'.\n", error.what());
        return zidire::usage;
    }
    if (const auto* options = std::get_if<zidire::DaemonOptions>(&invocation))
        return runRelay(argc, argv, *options);

    // A command ends at Ctrl+C like any other, so its signals stay as they are.
    QCoreApplication application(argc, argv);
    if (const auto* command = std::get_if<zidire::Command>(&invocation))
        return zidire::runCommand(*command);
    const QString text = std::holds_alternative<zidire::HelpRequest>(invocation)
                             ? zidire::helpText()
                             : QStringLiteral("zidire %1\n").arg(QStringLiteral(MOXTREL_VERSION));
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
}
