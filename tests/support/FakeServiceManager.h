#pragma once

// Service management for tests: statuses set by the test, calls recorded, failures on demand.
// Safe to use from the background threads the model reads it on.

#include "ServiceManager.h"

#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

class FakeServiceManager : public ServiceManager {
public:
    struct Service {
        ServiceStatus status = ServiceStatus::notFound;
        std::optional<QString> registerError{};   // thrown by registerService when set
        std::optional<QString> unregisterError{}; // thrown by unregisterService when set
    };

    void setDaemon(Service service);
    void setMainApp(Service service);

    // "daemon net.brimlake.moxtrel.daemon.plist: status", "mainApp: register", … in call order.
    QStringList calls() const;

    std::unique_ptr<AppService> daemonService(const QString& plistName) const override;
    std::unique_ptr<AppService> mainAppService() const override;
    // Recorded as "openSystemSettingsLoginItems".
    void openSystemSettingsLoginItems() const override;
    // Recorded as "daemon: start registered"; fails with the daemon's registerError.
    void startRegisteredDaemon() const override;

    // What the services change; shared with every service object handed out.
    struct State {
        std::mutex mutex;
        Service daemon;
        Service mainApp;
        QStringList calls;
    };

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};
