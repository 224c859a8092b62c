#include "FakeServiceManager.h"

namespace {

class FakeService : public AppService {
public:
    // `service` lives in `state`, which the manager shares with every service it hands out.
    FakeService(std::shared_ptr<FakeServiceManager::State> state,
                FakeServiceManager::Service& service, QString name)
        : m_state(std::move(state))
        , m_service(service)
        , m_name(std::move(name)) {}

    ServiceStatus status() const override {
        std::lock_guard lock(m_state->mutex);
        m_state->calls.append(m_name + QStringLiteral(": status"));
        return m_service.status;
    }

    void registerService() override {
        change(QStringLiteral("register"), m_service.registerError, ServiceStatus::enabled);
    }

    void unregisterService() override {
        change(QStringLiteral("unregister"), m_service.unregisterError,
               ServiceStatus::notRegistered);
    }

private:
    void change(const QString& call, const std::optional<QString>& error, ServiceStatus after) {
        std::lock_guard lock(m_state->mutex);
        m_state->calls.append(m_name + QStringLiteral(": ") + call);
        if (error)
            throw ServiceManagementError(*error);
        m_service.status = after;
    }

    std::shared_ptr<FakeServiceManager::State> m_state;
    FakeServiceManager::Service& m_service;
    QString m_name;
};

} // namespace

void FakeServiceManager::setDaemon(Service service) {
    std::lock_guard lock(m_state->mutex);
    m_state->daemon = std::move(service);
}

void FakeServiceManager::setMainApp(Service service) {
    std::lock_guard lock(m_state->mutex);
    m_state->mainApp = std::move(service);
}

QStringList FakeServiceManager::calls() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->calls;
}

std::unique_ptr<AppService> FakeServiceManager::daemonService(const QString& plistName) const {
    return std::make_unique<FakeService>(m_state, m_state->daemon,
                                         QStringLiteral("daemon ") + plistName);
}

void FakeServiceManager::startRegisteredDaemon() const {
    std::lock_guard lock(m_state->mutex);
    m_state->calls.append(QStringLiteral("daemon: start registered"));
    if (m_state->daemon.registerError)
        throw ServiceManagementError(*m_state->daemon.registerError);
}

std::unique_ptr<AppService> FakeServiceManager::mainAppService() const {
    return std::make_unique<FakeService>(m_state, m_state->mainApp, QStringLiteral("mainApp"));
}

void FakeServiceManager::openSystemSettingsLoginItems() const {
    std::lock_guard lock(m_state->mutex);
    m_state->calls.append(QStringLiteral("openSystemSettingsLoginItems"));
}
