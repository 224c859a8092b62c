#include "LocalRelay.h"

#include "RelayPaths.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Three ports that nothing listens on now; held together so they differ.
QString freeSmtpPorts() {
    QTcpServer servers[3];
    QStringList ports;
    for (QTcpServer& server : servers) {
        server.listen(QHostAddress::AnyIPv4, 0);
        ports.append(QString::number(server.serverPort()));
    }
    return ports.join(u',');
}

} // namespace

LocalRelay::LocalRelay()
    : m_smtpPorts(freeSmtpPorts()) {
    const std::pair<const char*, QString> environment[] = {
        {"XDG_RUNTIME_DIR", path(QStringLiteral("run"))},
        {"XDG_STATE_HOME", path(QStringLiteral("state"))},
        {"XDG_CONFIG_HOME", path(QStringLiteral("config"))},
        {"MOXTREL_CONTROL_SOCKET", {}},
        {"MOXTREL_AUTHORITY_DIR", {}},
    };
    for (const auto& [name, value] : environment) {
        m_savedEnvironment.append(
            {name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }
}

LocalRelay::~LocalRelay() {
    if (runningZidire())
        killZidire();
    for (const auto& [name, value] : m_savedEnvironment) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString LocalRelay::zidireProgram() {
    return QStringLiteral(ZIDIRE_PROGRAM);
}

LocalDaemonSetup LocalRelay::setup(const QString& program) const {
    return LocalDaemonSetup::forUser(program, {QStringLiteral("--smtp-ports"), m_smtpPorts});
}

AutostartLocation LocalRelay::loginItem() const {
    return AutostartLocation::forUser(QStringLiteral("/usr/bin/moxtrel"));
}

std::optional<pid_t> LocalRelay::runningZidire() const {
    const QString pidFile = QDir(RelayPaths::stateDirectory(RelayMode::local))
                                .filePath(QLatin1String(LocalServiceManager::pidFileName));
    const int fd = ::open(QFile::encodeName(pidFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<pid_t> pid;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char text[32] = {};
        if (::pread(fd, text, sizeof text - 1, 0) > 0)
            pid = pid_t(QByteArray(text).trimmed().toInt());
    }
    ::close(fd);
    return pid;
}

void LocalRelay::killZidire() const {
    const std::optional<pid_t> pid = runningZidire();
    if (!pid || *pid <= 0)
        return;
    const int process = int(::syscall(SYS_pidfd_open, *pid, 0));
    if (process < 0)
        return;
    ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
    pollfd ended{process, POLLIN, 0};
    ::poll(&ended, 1, 10000);
    ::close(process);
}
