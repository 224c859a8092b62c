#include "SingleInstance.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QVariantMap>

namespace {

constexpr char applicationInterface[] = "org.freedesktop.Application";

// org.freedesktop.Application, as desktop launchers call it: every way of starting the
// application again reopens its window.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(SingleInstance* instance)
        : QDBusAbstractAdaptor(instance)
        , m_instance(instance) {}

public Q_SLOTS:
    void Activate(const QVariantMap&) { Q_EMIT m_instance->reopenRequested(); }
    void Open(const QStringList&, const QVariantMap&) { Q_EMIT m_instance->reopenRequested(); }
    void ActivateAction(const QString&, const QVariantList&, const QVariantMap&) {
        Q_EMIT m_instance->reopenRequested();
    }

private:
    SingleInstance* m_instance;
};

QString objectPathFor(const QString& busName) {
    return u'/' + QString(busName).replace(u'.', u'/').replace(u'-', u'_');
}

QString runtimeDirectory() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime;
}

QString localSocketPath(const QString& busName) {
    return QDir(runtimeDirectory()).filePath(busName + QStringLiteral(".instance"));
}

// Where the session has no bus, asking Qt for one still starts its D-Bus machinery (a thread, a
// connection attempt) for nothing.
bool hasSessionBus() {
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
           QFileInfo::exists(QDir(runtimeDirectory()).filePath(QStringLiteral("bus")));
}

} // namespace

SingleInstance::SingleInstance(const QString& busName, QObject* parent)
    : QObject(parent)
    , m_objectPath(objectPathFor(busName)) {
    m_primary = hasSessionBus() && QDBusConnection::sessionBus().isConnected()
                    ? claimOnSessionBus(busName)
                    : claimLocalSocket(busName);
}

SingleInstance::~SingleInstance() {
    if (m_primary && !m_localServer)
        QDBusConnection::sessionBus().unregisterObject(m_objectPath);
}

bool SingleInstance::claimOnSessionBus(const QString& busName) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The name is claimed with the object already in place, so no caller finds the name without
    // the interface behind it.
    new ApplicationAdaptor(this);
    bus.registerObject(m_objectPath, this);
    const auto reply =
        bus.interface()->registerService(busName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    bus.unregisterObject(m_objectPath);
    QDBusMessage activate = QDBusMessage::createMethodCall(
        busName, m_objectPath, QLatin1String(applicationInterface), QStringLiteral("Activate"));
    activate << QVariantMap();
    bus.call(activate, QDBus::Block, 5000);
    return false;
}

bool SingleInstance::claimLocalSocket(const QString& busName) {
    const QString path = localSocketPath(busName);
    QLocalSocket running;
    running.connectToServer(path);
    if (running.waitForConnected(1000)) {
        running.write("activate\n");
        running.waitForBytesWritten(1000);
        running.disconnectFromServer();
        return false;
    }
    // Nobody answers: whatever is left at the path is a crashed instance's.
    QLocalServer::removeServer(path);
    m_localServer = std::make_unique<QLocalServer>();
    m_localServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_localServer->listen(path))
        qWarning("moxtrel: can't listen on %s: %s", qPrintable(path),
                 qPrintable(m_localServer->errorString()));
    connect(m_localServer.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* caller = m_localServer->nextPendingConnection()) {
            connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
            Q_EMIT reopenRequested();
        }
    });
    return true;
}

#include "SingleInstance.moc"
