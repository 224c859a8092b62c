#pragma once

// The application as a login item: an XDG autostart entry in the user's configuration. The entry
// counts as enabled when it is a readable desktop entry with a command, not marked Hidden=true nor
// X-GNOME-Autostart-enabled=false, which is also when desktops start it.

#include "ServiceManager.h"

#include <QString>

struct AutostartLocation {
    QString directory; // the autostart folder
    QString program;   // what the entry starts: this application's executable

    // $XDG_CONFIG_HOME/autostart (~/.config/autostart by default) and `program`.
    static AutostartLocation forUser(QString program);
};

class AutostartLoginItem : public AppService {
public:
    static constexpr char fileName[] = "moxtrel.desktop";
    // Seconds after login before the desktop starts the application, so its tray host is up.
    static constexpr int startDelaySeconds = 5;

    explicit AutostartLoginItem(AutostartLocation location);

    QString filePath() const;

    ServiceStatus status() const override;
    void registerService() override;
    void unregisterService() override;

private:
    AutostartLocation m_location;
};
