#pragma once

// A real zidire in local mode for tests: its own temporary state, socket, authority directory
// and free SMTP ports on 127.0.0.1, started as a separate process and spoken to over its socket.

#include "ControlClient.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <array>
#include <csignal>

class ZidireProcess {
public:
    // `home` holds everything of this zidire; several processes may share one to meet each
    // other's socket or state.
    explicit ZidireProcess(const QString& home);
    ~ZidireProcess();

    // Writes settings.json before the start (listen_host is 127.0.0.1 unless given).
    void writeSettings(const QByteArray& json) const;

    // Starts and waits until zidire says it is running; false when it exited instead.
    bool start(const QStringList& extraArguments = {});
    // Sends `signal` and waits for the exit; returns the exit code (-1 when it crashed).
    int stop(int signal = SIGTERM);
    // Waits for a process that is expected to end on its own.
    int waitForExit();

    // In a directory that zidire creates itself.
    QString socketPath() const { return m_home + QStringLiteral("/run/control.sock"); }
    QString stateDirectory() const { return m_home + QStringLiteral("/state"); }
    QString authorityDirectory() const { return m_home + QStringLiteral("/authority"); }
    QString logFile() const { return stateDirectory() + QStringLiteral("/zidire.log"); }
    const std::array<quint16, 3>& smtpPorts() const { return m_ports; }
    // What zidire wrote to standard error up to the start (all of it, when the start failed).
    QString standardError() const { return QString::fromUtf8(m_standardError); }

    ControlClient client() const { return ControlClient(socketPath(), 10.0); }

    // A fresh administrator token in the authority directory, `ageSeconds` old; returns the
    // `authorization` text that names it.
    QString mintToken(int ageSeconds = 0) const;

private:
    QString m_home;
    std::array<quint16, 3> m_ports{};
    QProcess m_process;
    QByteArray m_standardError;
};
