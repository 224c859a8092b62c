// moxtrel, the application: installs, configures and watches the zidire relay.

#include "AppPlatform.h"
#include "AppState.h"
#include "CommandLineUninstall.h"
#include "HeadlessStatusLog.h"
#include "ServiceRegistration.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

int main(int argc, char** argv) {
    // First of all, and without a GUI application object: this must work over SSH, where there is
    // no display, and nothing of the application may start.
    if (hasUninstallDaemonFlag(argc, argv)) {
        QCoreApplication application(argc, argv);
        const int status =
            uninstallDaemonFromCommandLine([] { return makeAppPlatform().services; });
        // Qt's D-Bus thread may still be passing the last reply around while the program's static
        // state is torn down, which makes Qt complain on standard error (or worse). Nothing else
        // is left to do, so the process ends here, its output flushed.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }

    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("brimlake"));
    QCoreApplication::setApplicationName(QStringLiteral("Moxtrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MOXTREL_VERSION));

    std::optional<AppPlatform> platform;
    try {
        platform = makeAppPlatform();
    } catch (const PlatformChoiceError& error) {
        std::fprintf(stderr, "moxtrel: %s\n", error.what());
        return 2;
    }
    std::fputs("moxtrel: the windows are not built yet; running without them, status changes "
               "follow here\n",
               stderr);

    AppState state(platform->services,
                   ControlClient(RelayPaths::controlSocket(relayMode(platform->backend)),
                                 AppState::controlTimeout),
                   std::make_unique<Preferences>());
    const HeadlessStatusLog log(state);
    if (platform->localServices)
        startRegisteredDaemon(state, platform->localServices);
    return QCoreApplication::exec();
}
