#include "AppState.h"

#include "BackgroundWork.h"
#include "ConnectivityMessage.h"

#include <QPointer>

AppState::AppState(Platform platform, ControlClient controlClient,
                   std::unique_ptr<Preferences> preferences, Timing timing, QObject* parent)
    : QObject(parent)
    , m_platform(std::move(platform))
    , m_controlClient(std::move(controlClient))
    , m_preferences(std::move(preferences)) {
    m_showMenuBarIcon = m_preferences->showMenuBarIcon();
    m_launchAtLogin = m_preferences->launchAtLogin();
    m_showOnboarding = !m_preferences->onboardingCompleted();

    m_infoMessageClearTimer.setTimerType(Qt::PreciseTimer);
    m_infoMessageClearTimer.setSingleShot(true);
    m_infoMessageClearTimer.setInterval(timing.infoMessageLifetime);
    connect(&m_infoMessageClearTimer, &QTimer::timeout, this, &AppState::clearExpiredInfoMessage);

    refresh();

    // Each tick starts a refresh and does not wait for it: a slow poll never delays the next.
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    m_pollTimer.setInterval(timing.pollInterval);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { refresh(); });
    m_pollTimer.start();
}

AppState::AppState(Platform platform, ControlClient controlClient,
                   std::unique_ptr<Preferences> preferences)
    : AppState(std::move(platform), std::move(controlClient), std::move(preferences), Timing{}) {}

AppState::~AppState() = default;

QCoro::Task<> AppState::refresh() {
    // The model may go away while a read is in flight; every resumption checks before writing.
    const QPointer<AppState> self(this);

    auto readServiceStatus = [services = m_platform.services] {
        return services->daemonService(QString::fromUtf8(daemonPlistName))->status();
    };
    const ServiceStatus status =
        co_await runInBackground(BackgroundPriority::utility, std::move(readServiceStatus));
    if (!self)
        co_return;
    setDaemonStatus(status);

    std::optional<ControlStatus> controlStatus;
    std::exception_ptr failure;
    auto readControlStatus = [client = m_controlClient] { return client.status(); };
    try {
        controlStatus =
            co_await runInBackground(BackgroundPriority::utility, std::move(readControlStatus));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (controlStatus) {
        setControlStatus(std::move(controlStatus));
        setConnectivityError(std::nullopt);
    } else {
        setControlStatus(std::nullopt);
        setConnectivityError(connectivityMessage(failure));
    }
}

void AppState::setDaemonStatus(ServiceStatus value) {
    assign(m_daemonStatus, value, &AppState::daemonStatusChanged);
}

void AppState::setControlStatus(std::optional<ControlStatus> value) {
    assign(m_controlStatus, std::move(value), &AppState::controlStatusChanged);
}

void AppState::setLastError(std::optional<QString> value) {
    assign(m_lastError, std::move(value), &AppState::lastErrorChanged);
}

void AppState::setConnectivityError(std::optional<QString> value) {
    assign(m_connectivityError, std::move(value), &AppState::connectivityErrorChanged);
}

void AppState::setInfoMessage(std::optional<QString> value) {
    assign(m_infoMessage, std::move(value), &AppState::infoMessageChanged);
    m_infoMessageClearTimer.stop();
    if (m_infoMessage) {
        m_infoMessageToClear = *m_infoMessage;
        m_infoMessageClearTimer.start();
    }
}

void AppState::clearExpiredInfoMessage() {
    if (m_infoMessage == m_infoMessageToClear)
        setInfoMessage(std::nullopt);
}

void AppState::setSigningIn(bool value) {
    assign(m_signingIn, value, &AppState::signingInChanged);
}

void AppState::setRequestedSettingsTab(std::optional<SettingsTab> value) {
    assign(m_requestedSettingsTab, value, &AppState::requestedSettingsTabChanged);
}

void AppState::setShowOnboarding(bool value) {
    assign(m_showOnboarding, value, &AppState::showOnboardingChanged);
}

void AppState::setShowMenuBarIcon(bool value) {
    assign(m_showMenuBarIcon, value, &AppState::showMenuBarIconChanged);
    m_preferences->setShowMenuBarIcon(value);
}
