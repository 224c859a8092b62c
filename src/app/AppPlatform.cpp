#include "AppPlatform.h"

#include "LocalServiceManager.h"
#include "SystemdServiceManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace {

// zidire beside this executable (an unpacked bundle), where the install rules put it, or in this
// build tree (`make run`). When none is there, the first place is named in what the user reads.
QString zidireProgram() {
    const QString candidates[] = {
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("zidire")),
        QStringLiteral(MOXTREL_ZIDIRE_INSTALLED_PATH),
        QStringLiteral(MOXTREL_ZIDIRE_BUILD_PATH),
    };
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile() && QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return candidates[0];
}

} // namespace

AppPlatform makeAppPlatform() {
    const PlatformBackend backend = platformBackend();
    const AutostartLocation loginItem =
        AutostartLocation::forUser(QCoreApplication::applicationFilePath());
    if (backend == PlatformBackend::systemd)
        return {backend,
                std::make_shared<SystemdServiceManager>(SystemdServiceManager::Setup{}, loginItem),
                makeAuthorizationServices(backend)};
    const QStringList zidireArguments =
        QProcess::splitCommand(qEnvironmentVariable("MOXTREL_ZIDIRE_ARGS"));
    return {backend,
            std::make_shared<LocalServiceManager>(
                LocalDaemonSetup::forUser(zidireProgram(), zidireArguments), loginItem),
            makeAuthorizationServices(backend)};
}
