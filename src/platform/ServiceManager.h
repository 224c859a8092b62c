#pragma once

// The platform's service management: the daemon's system service and the application's own
// login item. Backends (systemd, local, test fakes) implement these; every method may be called
// from any thread and blocks, so callers run them as background work.

#include "PlatformError.h"

#include <QString>

#include <memory>

// The registration states, with the platform's raw values.
enum class ServiceStatus {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
};

// A refusal from the service manager: systemd's or polkit's own words where they gave any.
class ServiceManagementError : public PlatformError {
public:
    using PlatformError::PlatformError;
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
    // What stands in for System Settings' Login Items, where a service that requires approval
    // waits for it: where the backend can, an administrator is asked to approve it at once,
    // else the desktop's own settings open. May wait for a person; never throws.
    virtual void openSystemSettingsLoginItems() const = 0;
    // At launch: starts the registered daemon when it is not running and nothing else will, as
    // after a reboot. Blocks; throws ServiceManagementError. A service manager that starts its
    // services itself has nothing to do.
    virtual void startRegisteredDaemon() const {}
};

// The name every daemon operation obtains the daemon's service by.
inline constexpr char daemonPlistName[] = "net.brimlake.moxtrel.daemon.plist";
