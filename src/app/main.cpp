// moxtrel, the application: installs, configures and watches the zidire relay.

#include "AppPlatform.h"
#include "CommandLineUninstall.h"
#include "MoxtrelApp.h"
#include "SingleInstance.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// Qt aborts with a message of its own when it finds no display; say what to do instead.
bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    }
    return false;
}

// Asked by package tools and scripts, with or without a display.
bool hasVersionFlag(int argc, char** argv) {
    return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (hasVersionFlag(argc, argv)) {
        std::puts("moxtrel " MOXTREL_VERSION);
        return 0;
    }
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
    if (!hasDisplay()) {
        std::fputs("moxtrel: no display to show its windows on (DISPLAY and WAYLAND_DISPLAY are "
                   "unset); to run it without one, start it with QT_QPA_PLATFORM=offscreen\n",
                   stderr);
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("brimlake"));
    QApplication::setApplicationName(QStringLiteral("Moxtrel"));
    QApplication::setApplicationVersion(QStringLiteral(MOXTREL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("net.brimlake.moxtrel"));

    const SingleInstance instance(QStringLiteral("net.brimlake.Moxtrel"));
    if (!instance.isPrimary())
        return 0;

    std::optional<AppPlatform> platform;
    try {
        platform = makeAppPlatform();
    } catch (const PlatformChoiceError& error) {
        std::fprintf(stderr, "moxtrel: %s\n", error.what());
        return 2;
    }
    MoxtrelApp moxtrel(*platform);
    QObject::connect(&instance, &SingleInstance::reopenRequested, &moxtrel,
                     &MoxtrelApp::reopenMainWindow);
    return QApplication::exec();
}
