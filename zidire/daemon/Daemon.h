#pragma once

// One running zidire: its parts, created in the order that start-up needs and destroyed in
// reverse, so that shutting down closes the listeners and removes the socket and pid files.

#include "ControlCommands.h"
#include "DaemonOptions.h"
#include "LogindSessions.h"
#include "PidFile.h"
#include "ShutdownSignals.h"
#include "auth/AuthorityTokens.h"
#include "control/ControlPeerPolicy.h"
#include "control/ControlServer.h"
#include "control/ControlSocketFile.h"
#include "delivery/DeliveryEngine.h"
#include "log/Log.h"
#include "smtp/SmtpService.h"
#include "spool/Spool.h"
#include "store/SettingsStore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <memory>

namespace zidire {

class Daemon : public QObject {
    Q_OBJECT

public:
    // Starts everything; throws std::exception with a message for the user when it can't.
    explicit Daemon(const DaemonOptions& options, QObject* parent = nullptr);
    ~Daemon() override;

Q_SIGNALS:
    // SIGTERM or SIGINT arrived; the owner ends the event loop.
    void stopRequested();

private:
    std::optional<DeviceLogin> deviceLogin() const;
    QHostAddress listenAddress();
    void logListeners();
    // A refused control connection, logged at most once a minute per user (with a count of the
    // ones in between), so that a local user can't flood the log by connecting in a loop.
    void logRefusal(qint64 uid, const QString& why);

    struct Refusals {
        QElapsedTimer lastLogged;
        int unlogged = 0;
    };

    DaemonOptions m_options;
    // Before anything touches the state or the socket: another zidire may be using them.
    PidFile m_pidFile;
    ControlSocketFile m_socketFile;
    Log m_log;
    SettingsStore m_store;
    Spool m_spool;
    SmtpService m_smtp;
    AuthorityTokens m_tokens;
    DeliveryEngine m_delivery;
    ControlCommands m_commands;
    // System mode only: who may use the control socket, and logind to tell who sits at the
    // computer. Both outlive the server that consults them.
    std::unique_ptr<LogindSessions> m_logind;
    std::unique_ptr<ControlPeerPolicy> m_peers;
    QHash<qint64, Refusals> m_refusals;
    ControlServer m_server;
    ShutdownSignals m_signals;
};

} // namespace zidire
