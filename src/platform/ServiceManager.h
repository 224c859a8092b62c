#pragma once

// The platform's service management: the daemon's system service and the application's own
// login item. Backends (systemd, local, test fakes) implement these; every method may be called
// from any thread and blocks, so callers run them as background work.

#include <QByteArray>
#include <QString>

#include <exception>
#include <memory>

// The registration states, with the platform's raw values.
enum class ServiceStatus {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
};

// A refusal from the service manager. `localizedDescription` is the platform's own message
// (systemd's or polkit's text), shown to the user after a fixed prefix.
class ServiceManagementError : public std::exception {
public:
    explicit ServiceManagementError(const QString& localizedDescription)
        : m_description(localizedDescription)
        , m_what(localizedDescription.toUtf8()) {}
    QString localizedDescription() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};

class AppService {
public:
    virtual ~AppService() = default;
    // Reading the status never fails; an unknown state reads as notFound.
    virtual ServiceStatus status() const = 0;
    // Both throw ServiceManagementError.
    virtual void registerService() = 0;
    virtual void unregisterService() = 0;
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // The system service of the daemon whose launchd property list has this name.
    virtual std::unique_ptr<AppService> daemonService(const QString& plistName) const = 0;
    // The application itself, as a login item.
    virtual std::unique_ptr<AppService> mainAppService() const = 0;
};

// The name every daemon operation obtains the daemon's service by.
inline constexpr char daemonPlistName[] = "net.brimlake.moxtrel.daemon.plist";
