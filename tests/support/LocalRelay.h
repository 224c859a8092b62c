#pragma once

// A temporary home for a real local zidire, for tests and benchmarks alike. For the object's life
// XDG_RUNTIME_DIR, XDG_STATE_HOME and XDG_CONFIG_HOME point into a temporary directory, so that a
// zidire started through the platform (setup()) lands there; start() runs one directly, as a
// separate process on SMTP ports that were free when the home was made. Several homes may exist
// at once if they end in the reverse order of their making. A zidire still running at the end is
// killed.

#include "ControlClient.h"
#include "LocalServiceManager.h"
#include "RelayPaths.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>

#include <array>
#include <csignal>
#include <optional>
#include <sys/types.h>

class LocalRelay {
public:
    LocalRelay();
    ~LocalRelay();
    LocalRelay(const LocalRelay&) = delete;
    LocalRelay& operator=(const LocalRelay&) = delete;

    // The build's zidire.
    static QString zidireProgram();

    QString path(const QString& relative) const { return m_dir.filePath(relative); }
    // `zidire --user` here, on free ports; `program` replaces the build's zidire.
    LocalDaemonSetup setup(const QString& program = zidireProgram()) const;
    AutostartLocation loginItem() const;

    // The zidire holding the pid file's lock here, if one runs.
    std::optional<pid_t> runningZidire() const;
    // Kills it with SIGKILL, as a crash would end it, and waits until it is gone.
    void killZidire() const;

    // The mode's defaults inside this home; they don't follow a later change of the environment.
    QString socketPath() const { return path(QStringLiteral("run/moxtrel/control.sock")); }
    QString stateDirectory() const { return path(QStringLiteral("state/moxtrel")); }
    QString authorityDirectory() const { return path(QStringLiteral("run/moxtrel/authority")); }
    QString logFile() const;
    const std::array<quint16, 3>& smtpPorts() const { return m_smtpPorts; }
    ControlClient client() const { return ControlClient(socketPath(), 10.0); }

    // settings.json for the next start. Without one, start() writes listen_host 127.0.0.1 and
    // points the providers at a closed loopback port, so nothing reaches a real one by accident.
    void writeSettings(const QByteArray& json) const;
    // Starts `zidire --user` here and waits until it says it runs; false when it exited instead.
    // In system mode (which needs root) it keeps its socket, state and log here all the same, and
    // finds no system bus, so logind vouches for nobody.
    bool start(const QStringList& extraArguments = {}, RelayMode mode = RelayMode::local);
    // Sends `signal` and waits for the exit; the exit code, -1 when it crashed.
    int stop(int signal = SIGTERM);
    // For a zidire expected to end on its own.
    int waitForExit();
    // What it wrote to standard error up to the start (all of it when the start failed).
    QString standardError() const { return QString::fromUtf8(m_standardError); }

    // A fresh administrator token in the authority directory, `ageSeconds` old; the
    // `authorization` text that names it.
    QString mintToken(int ageSeconds = 0) const;

private:
    QTemporaryDir m_dir;
    QList<std::pair<QByteArray, std::optional<QByteArray>>> m_savedEnvironment;
    std::array<quint16, 3> m_smtpPorts{};
    QProcess m_process;
    QByteArray m_standardError;
};
