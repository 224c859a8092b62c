#include "PlatformBackend.h"

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
