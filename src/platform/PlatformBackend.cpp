#include "PlatformBackend.h"

#include "LocalAuthorization.h"
#include "PolkitAuthorization.h"

#include <QFileInfo>

PlatformBackend platformBackend() {
    const QString chosen = qEnvironmentVariable("MOXTREL_PLATFORM");
    if (chosen == QLatin1String("systemd"))
        return PlatformBackend::systemd;
    if (chosen == QLatin1String("local"))
        return PlatformBackend::local;
    if (!chosen.isEmpty())
        throw PlatformChoiceError(
            QStringLiteral("MOXTREL_PLATFORM is \"%1\"; it must be \"systemd\" or \"local\"")
                .arg(chosen));
    return QFileInfo(QStringLiteral("/run/systemd/system")).isDir() ? PlatformBackend::systemd
                                                                    : PlatformBackend::local;
}

RelayMode relayMode(PlatformBackend backend) {
    return backend == PlatformBackend::systemd ? RelayMode::system : RelayMode::local;
}

std::shared_ptr<AuthorizationServices> makeAuthorizationServices(PlatformBackend backend) {
    if (backend == PlatformBackend::systemd)
        return std::make_shared<PolkitAuthorization>(PolkitAuthorization::installedSetup());
    return std::make_shared<LocalAuthorization>(RelayPaths::authorityDirectory(RelayMode::local));
}
