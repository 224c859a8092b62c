#pragma once

// Service management without root or a service manager, the default of `make run` and of systems
// without systemd: registering the daemon records the registration in zidire's state directory
// and starts `zidire --user` detached, so it outlives the application; unregistering stops it by
// its pid file and removes the record. The login item is the user's autostart entry.

#include "AutostartLoginItem.h"
#include "ServiceManager.h"

#include <QString>
#include <QStringList>

#include <chrono>

struct LocalDaemonSetup {
    QString program;            // the zidire executable
    QStringList extraArguments; // passed after --user
    QString stateDirectory;     // zidire's, where it keeps its pid file
    QString controlSocket;      // where the started zidire answers
    std::chrono::milliseconds startTimeout{std::chrono::seconds(15)};
    std::chrono::milliseconds stopTimeout{std::chrono::seconds(10)};

    // The state directory and control socket that `zidire --user` uses by default.
    static LocalDaemonSetup forUser(QString program, QStringList extraArguments = {});
};

class LocalServiceManager : public ServiceManager {
public:
    static constexpr char registrationFileName[] = "service-registration";
    // The started zidire's standard error, kept for the reason when it stops at once.
    static constexpr char standardErrorFileName[] = "zidire-stderr.log";

    LocalServiceManager(LocalDaemonSetup daemon, AutostartLocation loginItem);

    // The plist name is not needed: there is one daemon.
    std::unique_ptr<AppService> daemonService(const QString& plistName) const override;
    std::unique_ptr<AppService> mainAppService() const override;
    // Nothing here waits for approval: opens the desktop's settings.
    void openSystemSettingsLoginItems() const override;

    // Starts the registered zidire when it is not running, as after a reboot or a crash. Blocks
    // until it answers; throws ServiceManagementError.
    void startRegisteredDaemon() const override;

private:
    LocalDaemonSetup m_daemon;
    AutostartLocation m_loginItem;
};
