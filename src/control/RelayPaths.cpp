#include "RelayPaths.h"

#include <QDir>
#include <QStandardPaths>

namespace {

QString fromEnvironment(const char* name) {
    return qEnvironmentVariable(name);
}

QString userRuntimeDirectory() {
    QString runtime = fromEnvironment("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return QDir(runtime).filePath(QStringLiteral("moxtrel"));
}

QString userStateDirectory() {
    QString state = fromEnvironment("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(state).filePath(QStringLiteral("moxtrel"));
}

} // namespace

namespace RelayPaths {

QString controlSocket(RelayMode mode) {
    if (QString overridden = fromEnvironment("MOXTREL_CONTROL_SOCKET"); !overridden.isEmpty())
        return overridden;
    if (mode == RelayMode::system)
        return QString::fromUtf8(systemControlSocket);
    return QDir(userRuntimeDirectory()).filePath(QStringLiteral("control.sock"));
}

QString authorityDirectory(RelayMode mode) {
    if (QString overridden = fromEnvironment("MOXTREL_AUTHORITY_DIR"); !overridden.isEmpty())
        return overridden;
    if (mode == RelayMode::system)
        return QStringLiteral("/run/moxtrel/authority");
    return QDir(userRuntimeDirectory()).filePath(QStringLiteral("authority"));
}

QString stateDirectory(RelayMode mode) {
    return mode == RelayMode::system ? QStringLiteral("/var/lib/moxtrel") : userStateDirectory();
}

QString logDirectory(RelayMode mode) {
    return mode == RelayMode::system ? QStringLiteral("/var/log/moxtrel") : userStateDirectory();
}

} // namespace RelayPaths
