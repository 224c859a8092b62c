#include "FakeServiceManager.h"

namespace {

class FakeService : public AppService {
public:
    using State = FakeServiceManager::State;
    using Service = FakeServiceManager::Service;

    FakeService(std::shared_ptr<State> state, Service State::*service, QString name)
        : m_state(std::move(state))
        , m_service(service)
        , m_name(std::move(name)) {}

    ServiceStatus status() const override {
        std::lock_guard lock(m_state->mutex);
        m_state->calls.append(m_name + QStringLiteral(": status"));
        return ((*m_state).*m_service).status;
    }

    void registerService() override {
        change(QStringLiteral("register"), &Service::registerError, ServiceStatus::enabled);
    }

    void unregisterService() override {
        change(QStringLiteral("unregister"), &Service::unregisterError,
               ServiceStatus::notRegistered);
    }

private:
    void change(const QString& call, std::optional<QString> Service::*error, ServiceStatus after) {
        std::lock_guard lock(m_state->mutex);
        m_state->calls.append(m_name + QStringLiteral(": ") + call);
        Service& service = (*m_state).*m_service;
        if (service.*error)
            throw ServiceManagementError(*(service.*error));
        service.status = after;
    }

    std::shared_ptr<State> m_state;
    Service State::*m_service;
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
    return std::make_unique<FakeService>(m_state, &State::daemon,
                                         QStringLiteral("daemon ") + plistName);
}

void FakeServiceManager::startRegisteredDaemon() const {
    std::lock_guard lock(m_state->mutex);
    m_state->calls.append(QStringLiteral("daemon: start registered"));
    if (m_state->daemon.registerError)
        throw ServiceManagementError(*m_state->daemon.registerError);
}

std::unique_ptr<AppService> FakeServiceManager::mainAppService() const {
    return std::make_unique<FakeService>(m_state, &State::mainApp, QStringLiteral("mainApp"));
}

void FakeServiceManager::openSystemSettingsLoginItems() const {
    std::lock_guard lock(m_state->mutex);
    m_state->calls.append(QStringLiteral("openSystemSettingsLoginItems"));
}
