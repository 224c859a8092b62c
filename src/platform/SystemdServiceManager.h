#pragma once

// Service management by systemd, over its D-Bus interface on the system bus. The daemon's unit is
// named after its launchd property list ("x.plist" → "x.service"). Every call that changes
// anything lets polkit ask for an administrator's password, and waits long enough for a person to
// type it. The login item is the user's autostart entry.

#include "AutostartLoginItem.h"
#include "ServiceManager.h"
#include "SystemSettings.h"

#include <QString>

#include <chrono>
#include <functional>

class SystemdServiceManager : public ServiceManager {
public:
    struct Setup {
        // The bus systemd is on: the system bus when empty; tests name a private bus instead.
        QString busAddress;
        std::chrono::milliseconds statusTimeout{std::chrono::seconds(5)};
        std::chrono::milliseconds changeTimeout{std::chrono::minutes(5)};
        // Where a person approves what unmasking couldn't; tests see whether it was opened.
        std::function<void()> openDesktopSettings = openDesktopLoginItemsSettings;
    };

    SystemdServiceManager(Setup setup, AutostartLocation loginItem);

    // "net.brimlake.moxtrel.daemon.plist" → "net.brimlake.moxtrel.daemon.service".
    static QString unitName(const QString& plistName);

    std::unique_ptr<AppService> daemonService(const QString& plistName) const override;
    std::unique_ptr<AppService> mainAppService() const override;
    // Unmasks the daemon's masked unit, through polkit; the desktop's settings otherwise, or
    // when that fails.
    void openSystemSettingsLoginItems() const override;

private:
    Setup m_setup;
    AutostartLocation m_loginItem;
};
