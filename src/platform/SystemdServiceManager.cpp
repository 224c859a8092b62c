#include "SystemdServiceManager.h"

#include <QAtomicInteger>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariant>

namespace {

constexpr char systemdService[] = "org.freedesktop.systemd1";
constexpr char systemdPath[] = "/org/freedesktop/systemd1";
constexpr char managerInterface[] = "org.freedesktop.systemd1.Manager";

// One private connection per operation: a bus that was down comes back with the next operation,
// and a blocked call holds up no other thread.
class BusConnection {
public:
    explicit BusConnection(const QString& address)
        : m_name(QStringLiteral("moxtrel-systemd-%1").arg(nextNumber()))
        , m_bus(address.isEmpty()
                    ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_name)
                    : QDBusConnection::connectToBus(address, m_name)) {}
    ~BusConnection() { QDBusConnection::disconnectFromBus(m_name); }
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    bool isConnected() const { return m_bus.isConnected(); }
    QString failure() const {
        return QStringLiteral("can't reach systemd on the system bus: ") +
               m_bus.lastError().message();
    }

    // The reply, or an error message.
    QDBusMessage call(const char* method, const QVariantList& arguments, bool changesSomething,
                      std::chrono::milliseconds timeout) const {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QLatin1String(systemdService), QLatin1String(systemdPath),
            QLatin1String(managerInterface), QLatin1String(method));
        message.setArguments(arguments);
        message.setInteractiveAuthorizationAllowed(changesSomething);
        return m_bus.call(message, QDBus::Block, int(timeout.count()));
    }

private:
    static int nextNumber() {
        static QAtomicInteger<int> counter;
        return counter.fetchAndAddRelaxed(1);
    }

    QString m_name;
    QDBusConnection m_bus;
};

// systemd's or polkit's own words: they are what the user reads after the operation's prefix.
QString errorText(const QDBusMessage& reply) {
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

ServiceStatus statusOfUnitFileState(const QString& state) {
    if (state == QLatin1String("enabled") || state == QLatin1String("enabled-runtime"))
        return ServiceStatus::enabled;
    if (state == QLatin1String("disabled") || state == QLatin1String("linked") ||
        state == QLatin1String("linked-runtime"))
        return ServiceStatus::notRegistered;
    // A masked unit can't start until someone unmasks it: it waits for an administrator.
    if (state == QLatin1String("masked") || state == QLatin1String("masked-runtime"))
        return ServiceStatus::requiresApproval;
    return ServiceStatus::notFound;
}

class SystemdUnitService : public AppService {
public:
    SystemdUnitService(SystemdServiceManager::Setup setup, QString unit)
        : m_setup(std::move(setup))
        , m_unit(std::move(unit)) {}

    ServiceStatus status() const override {
        return statusOfUnitFileState(unitFileState(BusConnection(m_setup.busAddress)));
    }

    void registerService() override {
        const BusConnection bus(m_setup.busAddress);
        requireConnected(bus);
        change(bus, "EnableUnitFiles", {QStringList{m_unit}, false, true});
        change(bus, "Reload", {});
        change(bus, "StartUnit", {m_unit, QStringLiteral("replace")});
    }

    void unregisterService() override {
        const BusConnection bus(m_setup.busAddress);
        requireConnected(bus);
        // Disabling first: polkit's right to change unit files implies the rights to stop units
        // and reload, so the administrator is asked once, and a cancelled prompt leaves the
        // service running and enabled, exactly as it was.
        change(bus, "DisableUnitFiles", {QStringList{m_unit}, false});
        change(bus, "StopUnit", {m_unit, QStringLiteral("replace")});
        change(bus, "Reload", {});
    }

    // A masked unit waits for an administrator: unmasking it, after polkit asked one, is the
    // approval. Whether the unit waited and is no longer masked.
    bool approve() const {
        const BusConnection bus(m_setup.busAddress);
        const QString state = unitFileState(bus);
        if (statusOfUnitFileState(state) != ServiceStatus::requiresApproval)
            return false;
        try {
            // A runtime mask lives in /run and is lifted only by a runtime unmask.
            change(bus, "UnmaskUnitFiles",
                   {QStringList{m_unit}, state == QLatin1String("masked-runtime")});
            change(bus, "Reload", {});
            return true;
        } catch (const ServiceManagementError& error) {
            qWarning("can't unmask %s: %s", qUtf8Printable(m_unit), error.what());
            return false;
        }
    }

private:
    // Empty when there is none to read: a unit without a unit file is an error reply.
    QString unitFileState(const BusConnection& bus) const {
        if (!bus.isConnected())
            return {};
        const QDBusMessage reply =
            bus.call("GetUnitFileState", {m_unit}, false, m_setup.statusTimeout);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().toString();
    }

    static void requireConnected(const BusConnection& bus) {
        if (!bus.isConnected())
            throw ServiceManagementError(bus.failure());
    }

    void change(const BusConnection& bus, const char* method, const QVariantList& arguments) const {
        const QDBusMessage reply = bus.call(method, arguments, true, m_setup.changeTimeout);
        if (reply.type() == QDBusMessage::ErrorMessage)
            throw ServiceManagementError(errorText(reply));
    }

    SystemdServiceManager::Setup m_setup;
    QString m_unit;
};

} // namespace

SystemdServiceManager::SystemdServiceManager(Setup setup, AutostartLocation loginItem)
    : m_setup(std::move(setup))
    , m_loginItem(std::move(loginItem)) {}

QString SystemdServiceManager::unitName(const QString& plistName) {
    static const QString plistSuffix = QStringLiteral(".plist");
    QString unit = plistName;
    if (unit.endsWith(plistSuffix))
        unit.chop(plistSuffix.size());
    return unit + QStringLiteral(".service");
}

std::unique_ptr<AppService> SystemdServiceManager::daemonService(const QString& plistName) const {
    return std::make_unique<SystemdUnitService>(m_setup, unitName(plistName));
}

std::unique_ptr<AppService> SystemdServiceManager::mainAppService() const {
    return std::make_unique<AutostartLoginItem>(m_loginItem);
}

void SystemdServiceManager::openSystemSettingsLoginItems() const {
    if (!SystemdUnitService(m_setup, unitName(QString::fromUtf8(daemonPlistName))).approve())
        m_setup.openDesktopSettings();
}
