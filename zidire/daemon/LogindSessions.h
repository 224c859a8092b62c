#pragma once

// logind's answer to "does this user sit at this computer?", asked over the system bus without
// blocking the event loop: the user's sessions (Manager.ListSessions), and of those on a seat,
// whether one is active, of class "user" and not remote (each session's properties). The
// control socket's peer policy asks it about every connecting user who is neither root nor in the
// group "moxtrel".

#include "control/ControlPeerPolicy.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>

class QDBusMessage;

namespace zidire {

// Whether a session, as logind describes it (its properties), has its user at this computer:
// active, of class "user" (a greeter or lock screen runs as a user of its own) and not remote.
bool seatsItsUser(const QVariantMap& session);

class LogindSessions : public QObject {
    Q_OBJECT

public:
    // Each D-Bus call gets `callTimeout`; an unanswered one counts as a problem, not a session.
    explicit LogindSessions(std::chrono::milliseconds callTimeout = std::chrono::seconds(2),
                            QObject* parent = nullptr);
    ~LogindSessions() override;

    // Answers through `answer` exactly once, unless this object is destroyed first.
    void ask(uid_t uid, ControlPeerPolicy::Answer answer);

private:
    struct Question;
    void sessionsListed(const std::shared_ptr<Question>& question, const QDBusMessage& reply);
    void sessionDescribed(const std::shared_ptr<Question>& question, const QDBusMessage& reply);
    void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> replied);

    // The system bus connection, connected anew when it was lost or never came up (zidire may
    // start before the bus).
    bool connectBus(QString* problem);

    QString m_connectionName;
    std::chrono::milliseconds m_callTimeout;
};

} // namespace zidire
