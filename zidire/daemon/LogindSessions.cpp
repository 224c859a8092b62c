#include "LogindSessions.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

namespace zidire {

namespace {

constexpr char service[] = "org.freedesktop.login1";
constexpr char managerPath[] = "/org/freedesktop/login1";
constexpr char managerInterface[] = "org.freedesktop.login1.Manager";
constexpr char sessionInterface[] = "org.freedesktop.login1.Session";
constexpr char propertiesInterface[] = "org.freedesktop.DBus.Properties";

QString errorText(const QDBusMessage& reply) {
    const QString message = reply.errorMessage();
    return message.isEmpty() ? reply.errorName() : message;
}

// The object paths of the sessions that `uid` has on a seat, from ListSessions's reply
// a(susso): id, uid, user name, seat (empty for ssh and the like), object path.
std::optional<QList<QString>> seatSessionsOf(uid_t uid, const QDBusMessage& reply) {
    if (reply.signature() != QLatin1String("a(susso)"))
        return std::nullopt;
    const QDBusArgument argument = reply.arguments().value(0).value<QDBusArgument>();
    QList<QString> paths;
    argument.beginArray();
    while (!argument.atEnd()) {
        QString id, user, seat;
        uint sessionUid = 0;
        QDBusObjectPath path;
        argument.beginStructure();
        argument >> id >> sessionUid >> user >> seat >> path;
        argument.endStructure();
        if (sessionUid == uid && !seat.isEmpty())
            paths.append(path.path());
    }
    argument.endArray();
    return paths;
}

} // namespace

// One ask(): the answer still owed, and how many sessions are still being described.
struct LogindSessions::Question {
    uid_t uid;
    ControlPeerPolicy::Answer answer;
    int describing = 0;
    int described = 0; // sessions whose properties arrived
    QString problem;
    bool answered = false;

    void give(const SeatSessionAnswer& result) {
        if (answered)
            return;
        answered = true;
        answer(result);
    }
};

LogindSessions::LogindSessions(std::chrono::milliseconds callTimeout, QObject* parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("zidire-logind-%1").arg(quintptr(this), 0, 16))
    , m_callTimeout(callTimeout) {}

LogindSessions::~LogindSessions() {
    QDBusConnection::disconnectFromBus(m_connectionName);
}

bool LogindSessions::connectBus(QString* problem) {
    if (QDBusConnection(m_connectionName).isConnected())
        return true;
    QDBusConnection::disconnectFromBus(m_connectionName);
    const QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    if (bus.isConnected())
        return true;
    *problem = QStringLiteral("the system bus isn't available: %1").arg(bus.lastError().message());
    return false;
}

void LogindSessions::call(const QDBusMessage& message,
                          std::function<void(const QDBusMessage&)> replied) {
    const QDBusPendingCall pending =
        QDBusConnection(m_connectionName).asyncCall(message, int(m_callTimeout.count()));
    auto* watcher = new QDBusPendingCallWatcher(pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [replied = std::move(replied)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                replied(finished->reply());
            });
}

bool seatsItsUser(const QVariantMap& session) {
    return session.value(QStringLiteral("Active")).toBool() &&
           session.value(QStringLiteral("Class")).toString() == QLatin1String("user") &&
           !session.value(QStringLiteral("Remote")).toBool();
}

void LogindSessions::ask(uid_t uid, ControlPeerPolicy::Answer answer) {
    auto question = std::make_shared<Question>();
    question->uid = uid;
    question->answer = std::move(answer);
    QString problem;
    if (!connectBus(&problem)) {
        question->give({false, problem});
        return;
    }
    call(QDBusMessage::createMethodCall(QLatin1String(service), QLatin1String(managerPath),
                                        QLatin1String(managerInterface),
                                        QStringLiteral("ListSessions")),
         [this, question](const QDBusMessage& reply) { sessionsListed(question, reply); });
}

void LogindSessions::sessionsListed(const std::shared_ptr<Question>& question,
                                    const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage) {
        question->give({false, QStringLiteral("ListSessions: %1").arg(errorText(reply))});
        return;
    }
    const std::optional<QList<QString>> paths = seatSessionsOf(question->uid, reply);
    if (!paths) {
        question->give({false, QStringLiteral("ListSessions answered with the signature \"%1\"")
                                   .arg(reply.signature())});
        return;
    }
    if (paths->isEmpty()) {
        question->give({});
        return;
    }
    question->describing = int(paths->size());
    for (const QString& path : *paths) {
        QDBusMessage getAll = QDBusMessage::createMethodCall(QLatin1String(service), path,
                                                             QLatin1String(propertiesInterface),
                                                             QStringLiteral("GetAll"));
        getAll << QString::fromLatin1(sessionInterface);
        call(getAll,
             [this, question](const QDBusMessage& reply) { sessionDescribed(question, reply); });
    }
}

void LogindSessions::sessionDescribed(const std::shared_ptr<Question>& question,
                                      const QDBusMessage& reply) {
    --question->describing;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("a{sv}")) {
        ++question->described;
        if (seatsItsUser(qdbus_cast<QVariantMap>(reply.arguments().value(0)))) {
            question->give({true, {}});
            return;
        }
    } else {
        question->problem = reply.type() == QDBusMessage::ReplyMessage
                                ? QStringLiteral("a session's properties came with the signature "
                                                 "\"%1\"")
                                      .arg(reply.signature())
                                : errorText(reply);
    }
    if (question->describing > 0)
        return;
    // A session that ended between the two calls is simply not there; only when none could be
    // described is that a problem.
    question->give({false, question->described > 0 ? QString() : question->problem});
}

} // namespace zidire
