#include "CommandLineUninstall.h"

#include "ErrorDescription.h"

#include <cstdio>
#include <cstring>

bool hasUninstallDaemonFlag(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], uninstallDaemonFlag) == 0)
            return true;
    }
    return false;
}

int uninstallDaemonFromCommandLine(
    const std::function<std::shared_ptr<const ServiceManager>()>& makeServices) {
    try {
        makeServices()->daemonService(QString::fromUtf8(daemonPlistName))->unregisterService();
    } catch (...) {
        const QByteArray failure = errorDescription(std::current_exception()).toUtf8();
        std::fputs(("failed to unregister daemon: " + failure + '\n').constData(), stderr);
        return 1;
    }
    std::fputs("zidire daemon unregistered\n", stdout);
    return 0;
}
