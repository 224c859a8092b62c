#include "FakeSystemd.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr char managerInterface[] = "org.freedesktop.systemd1.Manager";

QByteArray busConfiguration(const QString& socketDirectory) {
    return QStringLiteral("<busconfig>\n"
                          "  <type>session</type>\n"
                          "  <listen>unix:dir=%1</listen>\n"
                          "  <auth>EXTERNAL</auth>\n"
                          "  <policy context=\"default\">\n"
                          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                          "    <allow eavesdrop=\"true\"/>\n"
                          "    <allow own=\"*\"/>\n"
                          "  </policy>\n"
                          "</busconfig>\n")
        .arg(socketDirectory)
        .toUtf8();
}

QString describe(const QDBusMessage& call) {
    QStringList arguments;
    for (const QVariant& argument : call.arguments())
        arguments.append(argument.typeId() == QMetaType::QStringList
                             ? u'[' + argument.toStringList().join(u',') + u']'
                             : argument.toString());
    return QStringLiteral("%1(%2)%3")
        .arg(call.member(), arguments.join(QStringLiteral(", ")),
             call.isInteractiveAuthorizationAllowed() ? QStringLiteral(" interactive") : QString());
}

} // namespace

PrivateBus::PrivateBus() {
    const QString configuration = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(configuration);
    if (!file.open(QIODevice::WriteOnly) || file.write(busConfiguration(m_dir.path())) < 0) {
        m_failure = QStringLiteral("can't write %1").arg(configuration);
        return;
    }
    file.close();
    // The bus ends with the test even when the test dies before it could stop it.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configuration, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
    if (!m_daemon.waitForStarted()) {
        m_failure = QStringLiteral("dbus-daemon: ") + m_daemon.errorString();
        return;
    }
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    if (m_address.isEmpty())
        m_failure = QStringLiteral("dbus-daemon printed no address: ") +
                    QString::fromUtf8(m_daemon.readAllStandardError());
}

PrivateBus::~PrivateBus() {
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        m_daemon.waitForFinished();
    }
}

class FakeSystemdObject : public QDBusVirtualObject {
public:
    explicit FakeSystemdObject(std::shared_ptr<FakeSystemd::State> state)
        : m_state(std::move(state)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QLatin1String(managerInterface))
            return false;
        connection.send(answer(message));
        return true;
    }

private:
    QDBusMessage answer(const QDBusMessage& message) {
        std::lock_guard lock(m_state->mutex);
        const QString method = message.member();
        m_state->calls.append(describe(message));
        if (const auto failure = m_state->failures.constFind(method);
            failure != m_state->failures.cend())
            return message.createErrorReply(failure->first, failure->second);

        const QVariantList arguments = message.arguments();
        if (method == QLatin1String("GetUnitFileState")) {
            const QString unit = arguments.value(0).toString();
            if (!m_state->unitFileStates.contains(unit))
                return message.createErrorReply(
                    QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                    QStringLiteral("No such file or directory"));
            return message.createReply(m_state->unitFileStates.value(unit));
        }
        if (method == QLatin1String("EnableUnitFiles") ||
            method == QLatin1String("DisableUnitFiles")) {
            const QString state = method == QLatin1String("EnableUnitFiles")
                                      ? QStringLiteral("enabled")
                                      : QStringLiteral("disabled");
            for (const QString& unit : arguments.value(0).toStringList())
                m_state->unitFileStates.insert(unit, state);
            return message.createReply(QVariantList{false});
        }
        if (method == QLatin1String("UnmaskUnitFiles")) {
            for (const QString& unit : arguments.value(0).toStringList())
                m_state->unitFileStates.insert(unit, QStringLiteral("disabled"));
            return message.createReply(QVariantList{});
        }
        if (method == QLatin1String("StartUnit") || method == QLatin1String("StopUnit"))
            return message.createReply(QVariant::fromValue(
                QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1"))));
        if (method == QLatin1String("Reload"))
            return message.createReply();
        return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                        QStringLiteral("Unknown method %1").arg(method));
    }

    std::shared_ptr<FakeSystemd::State> m_state;
};

FakeSystemd::FakeSystemd(const QString& busAddress)
    : m_connectionName(QStringLiteral("fake-systemd-") + busAddress)
    , m_object(std::make_unique<FakeSystemdObject>(m_state)) {
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, m_connectionName);
    m_serving =
        bus.registerVirtualObject(QStringLiteral("/org/freedesktop/systemd1"), m_object.get()) &&
        bus.registerService(QStringLiteral("org.freedesktop.systemd1"));
}

FakeSystemd::~FakeSystemd() {
    QDBusConnection(m_connectionName).unregisterObject(QStringLiteral("/org/freedesktop/systemd1"));
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void FakeSystemd::setUnitFileState(const QString& unit, const QString& state) {
    std::lock_guard lock(m_state->mutex);
    m_state->unitFileStates.insert(unit, state);
}

QString FakeSystemd::unitFileState(const QString& unit) const {
    std::lock_guard lock(m_state->mutex);
    return m_state->unitFileStates.value(unit);
}

void FakeSystemd::failMethod(const QString& method, const QString& errorName,
                             const QString& message) {
    std::lock_guard lock(m_state->mutex);
    m_state->failures.insert(method, {errorName, message});
}

QStringList FakeSystemd::calls() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->calls;
}
