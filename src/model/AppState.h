#pragma once

// The one observable model of the application: the relay's last known status, the daemon's
// registration status, the messages the views show and the user's preferences. It lives on the
// main thread; every blocking read runs as background work and hands its result back here.
// Every assignment to an observable field notifies, even when the value did not change.

#include "AuthorizationServices.h"
#include "BackgroundWork.h"
#include "ControlClient.h"
#include "OAuthFlow.h"
#include "OAuthProviderApp.h"
#include "Preferences.h"
#include "ServiceManager.h"

#include <QCoroTask>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

enum class SettingsTab { sendingAccount, deviceAccount };

Q_DECLARE_METATYPE(ServiceStatus)
Q_DECLARE_METATYPE(std::optional<ControlStatus>)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<SettingsTab>)

class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(ServiceStatus daemonStatus READ daemonStatus WRITE setDaemonStatus NOTIFY
                   daemonStatusChanged)
    Q_PROPERTY(std::optional<ControlStatus> controlStatus READ controlStatus WRITE setControlStatus
                   NOTIFY controlStatusChanged)
    Q_PROPERTY(
        std::optional<QString> lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(std::optional<QString> connectivityError READ connectivityError WRITE
                   setConnectivityError NOTIFY connectivityErrorChanged)
    Q_PROPERTY(std::optional<QString> infoMessage READ infoMessage WRITE setInfoMessage NOTIFY
                   infoMessageChanged)
    Q_PROPERTY(bool signingIn READ signingIn WRITE setSigningIn NOTIFY signingInChanged)
    Q_PROPERTY(std::optional<SettingsTab> requestedSettingsTab READ requestedSettingsTab WRITE
                   setRequestedSettingsTab NOTIFY requestedSettingsTabChanged)
    Q_PROPERTY(bool showOnboarding READ showOnboarding WRITE setShowOnboarding NOTIFY
                   showOnboardingChanged)
    Q_PROPERTY(bool showMenuBarIcon READ showMenuBarIcon WRITE setShowMenuBarIcon NOTIFY
                   showMenuBarIconChanged)
    // Changed only through the action of the same name, which also applies it to the login item.
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)

public:
    struct Timing {
        std::chrono::milliseconds pollInterval{5000};
        std::chrono::milliseconds infoMessageLifetime{6000};
    };

    // How a sign-in finds its provider's configuration and runs in the browser.
    struct SignInSetup {
        std::function<std::optional<OAuthProviderApp>(const QString& provider)> providerApp =
            [](const QString& provider) { return OAuthProviderApp::forProvider(provider); };
        OAuthFlow flow;
    };

    // The platform's services the model acts through, chosen at start-up.
    struct Platform {
        std::shared_ptr<const ServiceManager> services;
        std::shared_ptr<AuthorizationServices> authorization;
    };

    static constexpr double controlTimeout = 3.0;

    // Reads the preferences, starts the first refresh at once and the poll loop.
    AppState(Platform platform, ControlClient controlClient,
             std::unique_ptr<Preferences> preferences, Timing timing, QObject* parent = nullptr);
    AppState(Platform platform, ControlClient controlClient,
             std::unique_ptr<Preferences> preferences);
    ~AppState() override;

    // One poll: the daemon's registration status, then zidire's status. Overlapping calls are
    // allowed; each writes its results when it finishes.
    QCoro::Task<> refresh();

    // User actions. Each reports through `lastError` or `infoMessage`, most start a refresh.
    // The awaited ones complete after the model's fields are written; the others return at once.

    // Register or remove zidire's service. A success leaves an older `lastError` in place.
    QCoro::Task<> installService();
    QCoro::Task<> uninstallService();
    // Stores the choice at once and applies it to the login item in the background, leaving the
    // item alone when it is already as wanted. Afterwards `lastError` is cleared, or set when the
    // change failed; the choice stays stored either way. No refresh follows.
    void setLaunchAtLogin(bool enabled);
    // At launch: starts the registered daemon when its service manager leaves that to us.
    QCoro::Task<> startRegisteredDaemon();
    // Where a service that requires approval gets it (an administrator may be asked), then a
    // refresh shows the outcome. Returns at once; never fails.
    void openSystemSettingsLoginItems();

    QCoro::Task<> saveSender(QString provider, QString fromAddress);
    QCoro::Task<> saveDeviceAccount(QString username, QString password);
    void saveListenHost(QString host);
    void sendTestEmail(QString recipient);
    void retryQueue();
    // The log's tail, or the reason it could not be read; never fails, never touches the model.
    QCoro::Task<QString> readLog();
    // Signs in to the provider in the browser and hands the credentials to zidire. `signingIn`
    // stays true until both are done, whatever the outcome.
    void signIn(QString provider);
    void setSignInSetup(SignInSetup setup) { m_signIn = std::move(setup); }
    // Whether this build has a client registration to sign in to `provider` with.
    bool canSignIn(const QString& provider) const {
        return m_signIn.providerApp(provider).has_value();
    }
    // Obtains administrator rights (the password dialog may show), then asks zidire for the
    // stored device password, which the model does not keep. None when the person canceled the
    // dialog, which is no failure and leaves the model alone, or when it failed, which
    // `lastError` then explains.
    QCoro::Task<std::optional<QString>> revealDevicePassword();

    ServiceStatus daemonStatus() const { return m_daemonStatus; }
    const std::optional<ControlStatus>& controlStatus() const { return m_controlStatus; }
    const std::optional<QString>& lastError() const { return m_lastError; }
    const std::optional<QString>& connectivityError() const { return m_connectivityError; }
    const std::optional<QString>& infoMessage() const { return m_infoMessage; }
    bool signingIn() const { return m_signingIn; }
    const std::optional<SettingsTab>& requestedSettingsTab() const {
        return m_requestedSettingsTab;
    }
    bool showOnboarding() const { return m_showOnboarding; }
    bool showMenuBarIcon() const { return m_showMenuBarIcon; }
    bool launchAtLogin() const { return m_launchAtLogin; }

    void setDaemonStatus(ServiceStatus value);
    void setControlStatus(std::optional<ControlStatus> value);
    void setLastError(std::optional<QString> value);
    void setConnectivityError(std::optional<QString> value);
    // Starts the message's 6-second lifetime; a new assignment replaces a pending clear.
    void setInfoMessage(std::optional<QString> value);
    void setSigningIn(bool value);
    void setRequestedSettingsTab(std::optional<SettingsTab> value);
    void setShowOnboarding(bool value);
    // Also stores the "showMenuBarIcon" preference.
    void setShowMenuBarIcon(bool value);
    // The assistant was finished or postponed: it does not come back at the next start.
    void storeOnboardingCompleted() { m_preferences->setOnboardingCompleted(true); }

    const ControlClient& controlClient() const { return m_controlClient; }

Q_SIGNALS:
    void daemonStatusChanged();
    void controlStatusChanged();
    void lastErrorChanged();
    void connectivityErrorChanged();
    void infoMessageChanged();
    void signingInChanged();
    void requestedSettingsTabChanged();
    void showOnboardingChanged();
    void showMenuBarIconChanged();
    void launchAtLoginChanged();

private:
    template <class T> void assign(T& field, T value, void (AppState::*changed)()) {
        field = std::move(value);
        Q_EMIT(this->*changed)();
    }
    void clearExpiredInfoMessage();
    QCoro::Task<> completeSignIn(OAuthProviderApp app, QString provider);

    // How an action reports once its background work is done.
    struct ActionReport {
        QString failurePrefix;
        bool successClearsLastError = true;
        std::optional<QString> successMessage = std::nullopt;
        bool refreshes = true;
    };
    // The one way an action runs: `work` as background work at `priority`, then, back here and
    // only while the model still exists, its outcome on `lastError` and `infoMessage`.
    QCoro::Task<> runAction(BackgroundPriority priority, std::function<void()> work,
                            ActionReport report);
    // Fire-and-forget: the visible confirmation of an earlier action goes at once.
    void startAction(BackgroundPriority priority, std::function<void()> work, ActionReport report);
    QCoro::Task<> changeDaemonRegistration(void (AppService::*change)(), QString failurePrefix);

    Platform m_platform;
    ControlClient m_controlClient;
    std::unique_ptr<Preferences> m_preferences;
    SignInSetup m_signIn;

    ServiceStatus m_daemonStatus = ServiceStatus::notFound;
    std::optional<ControlStatus> m_controlStatus;
    std::optional<QString> m_lastError;
    std::optional<QString> m_connectivityError;
    std::optional<QString> m_infoMessage;
    bool m_signingIn = false;
    std::optional<SettingsTab> m_requestedSettingsTab;
    bool m_showOnboarding = false;
    bool m_showMenuBarIcon = false;
    bool m_launchAtLogin = false;

    // Both timers are owned by the model, so nothing periodic outlives it.
    QTimer m_pollTimer;
    QTimer m_infoMessageClearTimer;
    QString m_infoMessageToClear;
};
