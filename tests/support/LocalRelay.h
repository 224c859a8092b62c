#pragma once

// A temporary home for a real local zidire: for the fixture's life XDG_RUNTIME_DIR,
// XDG_STATE_HOME and XDG_CONFIG_HOME point into a temporary directory, and the setup uses SMTP
// ports that were free when it was made. A zidire still running there at the end is killed.

#include "LocalServiceManager.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>

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

private:
    QTemporaryDir m_dir;
    QList<std::pair<QByteArray, std::optional<QByteArray>>> m_savedEnvironment;
    QString m_smtpPorts;
};
