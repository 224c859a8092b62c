// moxtrel, the application: installs, configures and watches the zidire relay.

#include "AppPlatform.h"
#include "AppState.h"
#include "CommandLineUninstall.h"
#include "HeadlessStatusLog.h"
#include "ServiceRegistration.h"

#include <QCoreApplication>

#include <cstdio>
#include <optional>

int main(int argc, char** argv) {
    // First of all, and without a GUI application object: this must work over SSH, where there is
    // no display, and nothing of the application may start.
    if (hasUninstallDaemonFlag(argc, argv)) {
        QCoreApplication application(argc, argv);
        return uninstallDaemonFromCommandLine([] { return makeAppPlatform().services; });
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
