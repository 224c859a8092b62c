#pragma once

// Carries out the control socket's commands on the daemon's parts. Requests arrive already
// checked against the command rules (ControlRequestRules), so each command only does its work.

#include "ControlMessages.h"
#include "control/ControlServer.h"

#include <QElapsedTimer>

namespace zidire {

class AuthorityTokens;
class Delivery;
class Log;
class SettingsStore;
class SmtpService;
class Spool;

class ControlCommands {
public:
    ControlCommands(SettingsStore& store, SmtpService& smtp, const Spool& spool, Log& log,
                    const AuthorityTokens& tokens, Delivery& delivery);

    void handle(const ControlRequest& request, const ControlServer::Reply& reply);

private:
    ControlResponse status() const;
    ControlResponse setConfig(const ControlRequest& request);
    ControlResponse setCredentials(const ControlRequest& request);
    ControlResponse devicePassword(const ControlRequest& request);

    SettingsStore& m_store;
    SmtpService& m_smtp;
    const Spool& m_spool;
    Log& m_log;
    const AuthorityTokens& m_tokens;
    Delivery& m_delivery;
    QElapsedTimer m_uptime; // monotonic
};

} // namespace zidire
